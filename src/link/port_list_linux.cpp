// The serial ports on Linux, as sysfs publishes them.
#include "link/port_list_linux.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/port_list.h"
#include "setup/reason.h"

namespace {

using Path = std::array<char, PATH_MAX>;
using Name = std::array<char, 64>;
using Detail = std::array<char, 256>;

struct Port {
  Name name;      // "ttyUSB0"
  Detail detail;  // product or driver, then the by-id name; may be empty
};

constexpr std::size_t kMostPorts = 64;
// Characters of a tty name, a driver name and a stable name shown; like every name a reason
// quotes, they are shown with bytes that could drive a terminal as \xNN.
constexpr std::size_t kNameShown = 32;
constexpr std::size_t kStableShown = 96;

// a + "/" + b into out; false when that does not fit (a cut path would name another file).
bool join(Path& out, const char* a, const char* b) {
  const int length = std::snprintf(out.data(), out.size(), "%s/%s", a, b);
  return length >= 0 && static_cast<std::size_t>(length) < out.size();
}

// The first line of a small sysfs file, blanks trimmed, bytes that could drive a terminal made
// '?' (a USB device names itself). False when the file cannot be read.
bool read_line(const char* path, char* out, std::size_t size) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    return false;
  }
  const bool got = std::fgets(out, static_cast<int>(size), file) != nullptr;
  std::fclose(file);
  if (!got) {
    return false;
  }
  std::size_t length = std::strlen(out);
  while (length > 0 && (out[length - 1] == '\n' || out[length - 1] == ' ')) {
    out[--length] = '\0';
  }
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(out[i]);
    if (byte < 0x20 || byte >= 0x7f) {
      out[i] = '?';
    }
  }
  return true;
}

// A number as sysfs writes it, decimal or 0x hexadecimal; -1 when the file is not there.
long read_number(const Path& dir, const char* file) {
  Path path{};
  std::array<char, 32> text{};
  if (!join(path, dir.data(), file) || !read_line(path.data(), text.data(), text.size())) {
    return -1;
  }
  return std::strtol(text.data(), nullptr, 0);
}

// The 8250 driver registers placeholder ports with no UART behind them: the port type is 0
// (unknown), or, where no type is given, there is neither an I/O port nor an interrupt.
bool is_placeholder(const Path& tty_dir) {
  const long type = read_number(tty_dir, "type");
  if (type >= 0) {
    return type == 0;
  }
  return read_number(tty_dir, "port") == 0 && read_number(tty_dir, "irq") == 0;
}

// The last part of the path a link points to, "" when it is not a link.
void link_target_name(const char* link, char* out, std::size_t size) {
  Path target{};
  const ssize_t length = readlink(link, target.data(), target.size() - 1);
  out[0] = '\0';
  if (length <= 0) {
    return;
  }
  target[static_cast<std::size_t>(length)] = '\0';
  const char* slash = std::strrchr(target.data(), '/');
  const char* name = slash != nullptr ? slash + 1 : target.data();
  if (std::strlen(name) < size) {
    std::memcpy(out, name, std::strlen(name) + 1);
  }
}

bool up_one(Path& dir) {
  char* slash = std::strrchr(dir.data(), '/');
  if (slash == nullptr || slash == dir.data()) {
    return false;
  }
  *slash = '\0';
  return true;
}

// What the device calls itself: the USB product string of an adapter, found a few levels above
// its tty, else the name of the driver that serves it. Newer kernels put serial-base "port" and
// "ctrl" devices between the tty and its driver; they are looked through.
void describe(const char* device_link, char* out, std::size_t size) {
  out[0] = '\0';
  Path dir{};
  if (realpath(device_link, dir.data()) == nullptr) {
    return;
  }
  Path at = dir;
  Path file{};
  for (int level = 0; level < 4; ++level) {
    if (join(file, at.data(), "product") && read_line(file.data(), out, size) && out[0] != '\0') {
      return;
    }
    if (!up_one(at)) {
      break;
    }
  }
  at = dir;
  for (int level = 0; level < 3; ++level) {
    Name driver{};
    if (join(file, at.data(), "driver")) {
      link_target_name(file.data(), driver.data(), driver.size());
    }
    if (driver[0] != '\0' && std::strcmp(driver.data(), "port") != 0 &&
        std::strcmp(driver.data(), "ctrl") != 0) {
      show_text(out, size, driver.data(), std::strlen(driver.data()), kNameShown);
      return;
    }
    if (!up_one(at)) {
      break;
    }
  }
}

// The stable name udev made for the tty in <dev>/serial/by-id, "" when there is none.
void stable_name(const char* dev_root, const char* tty, char* out, std::size_t size) {
  out[0] = '\0';
  Path dir_path{};
  DIR* dir = join(dir_path, dev_root, "serial/by-id") ? opendir(dir_path.data()) : nullptr;
  if (dir == nullptr) {
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    Path link{};
    Name target{};
    if (!join(link, dir_path.data(), entry->d_name)) {
      continue;
    }
    link_target_name(link.data(), target.data(), target.size());
    if (std::strcmp(target.data(), tty) == 0 && std::strlen(link.data()) < size) {
      std::memcpy(out, link.data(), std::strlen(link.data()) + 1);
      break;
    }
  }
  closedir(dir);
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Compares two names with every run of digits taken as one number, its value read off the digits
// without converting them, so no run is too long. -1, 0 or 1; 0 also for ttyS1 and ttyS01.
int compare_by_value(const char* a, const char* b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (a[i] != '\0' && b[j] != '\0') {
    if (is_digit(a[i]) && is_digit(b[j])) {
      while (a[i] == '0') {
        ++i;
      }
      while (b[j] == '0') {
        ++j;
      }
      std::size_t end_a = i;
      std::size_t end_b = j;
      while (is_digit(a[end_a])) {
        ++end_a;
      }
      while (is_digit(b[end_b])) {
        ++end_b;
      }
      // Without leading zeros the longer run is the larger number; runs as long compare digit
      // by digit.
      if (end_a - i != end_b - j) {
        return end_a - i < end_b - j ? -1 : 1;
      }
      const int by_digits = std::memcmp(a + i, b + j, end_a - i);
      if (by_digits != 0) {
        return by_digits < 0 ? -1 : 1;
      }
      i = end_a;
      j = end_b;
      continue;
    }
    // A number sorts where its first digit would among the other bytes: no byte that is not a
    // digit lies between '0' and '9', so every number sits at the same place among them.
    const unsigned byte_a = is_digit(a[i]) ? '0' : static_cast<unsigned char>(a[i]);
    const unsigned byte_b = is_digit(b[j]) ? '0' : static_cast<unsigned char>(b[j]);
    if (byte_a != byte_b) {
      return byte_a < byte_b ? -1 : 1;
    }
    ++i;
    ++j;
  }
  // One has ended: it is the shorter, and comes first.
  if (a[i] == b[j]) {
    return 0;
  }
  return a[i] == '\0' ? -1 : 1;
}

bool port_less(const Port& a, const Port& b) {
  return port_name_less(a.name.data(), b.name.data());
}

// Appends text when it fits whole.
void append(char* out, std::size_t size, std::size_t& used, const char* text) {
  const std::size_t length = std::strlen(text);
  if (used + length + 1 <= size) {
    std::memcpy(out + used, text, length + 1);
    used += length;
  }
}

}  // namespace

bool port_name_less(const char* a, const char* b) {
  // Names equal by value (ttyS1, ttyS01) are told apart byte by byte, so the order is total.
  const int by_value = compare_by_value(a, b);
  return by_value != 0 ? by_value < 0 : std::strcmp(a, b) < 0;
}

void list_serial_ports_in(const char* sys_root, const char* dev_root, char* out, std::size_t size) {
  if (size == 0) {
    return;
  }
  out[0] = '\0';
  Path class_path{};
  DIR* dir = join(class_path, sys_root, "class/tty") ? opendir(class_path.data()) : nullptr;
  if (dir == nullptr) {
    return;
  }
  std::array<Port, kMostPorts> ports{};
  std::size_t count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || std::strlen(entry->d_name) >= Name{}.size() ||
        count == ports.size()) {
      continue;
    }
    // Virtual consoles and pseudo-terminals have no device behind them.
    Path tty_dir{};
    Path device{};
    Path node{};
    struct stat info {};
    if (!join(tty_dir, class_path.data(), entry->d_name) ||
        !join(device, tty_dir.data(), "device") || !join(node, dev_root, entry->d_name) ||
        lstat(device.data(), &info) != 0 || is_placeholder(tty_dir) ||
        stat(node.data(), &info) != 0) {
      continue;
    }
    Port& port = ports[count++];
    std::snprintf(port.name.data(), port.name.size(), "%s", entry->d_name);
    std::array<char, 96> what{};
    Path by_id{};
    describe(device.data(), what.data(), what.size());
    stable_name(dev_root, entry->d_name, by_id.data(), by_id.size());
    // udev makes the stable name from what the adapter says of itself: quoted, and cut with
    // "..." when long, like any name in a reason.
    std::array<char, kStableShown + 4> by_id_shown{};
    show_text(by_id_shown.data(), by_id_shown.size(), by_id.data(), by_id.size(), kStableShown);
    const char* between = what[0] != '\0' && by_id[0] != '\0' ? ", " : "";
    std::snprintf(port.detail.data(), port.detail.size(), "%s%s%s", what.data(), between,
                  by_id_shown.data());
  }
  closedir(dir);
  std::sort(ports.begin(), ports.begin() + static_cast<std::ptrdiff_t>(count), port_less);

  std::size_t used = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::array<char, 512> item{};
    const Port& port = ports[i];
    std::array<char, kNameShown + 4> name_shown{};
    show_text(name_shown.data(), name_shown.size(), port.name.data(), port.name.size(), kNameShown);
    std::snprintf(item.data(), item.size(), "%s%s/%s%s%s%s", i > 0 ? ", " : "", dev_root,
                  name_shown.data(), port.detail[0] != '\0' ? " (" : "", port.detail.data(),
                  port.detail[0] != '\0' ? ")" : "");
    // A list too long for the line ends in ", ..." rather than in a cut name: every port but
    // the last leaves room for it.
    constexpr char kMore[] = ", ...";
    const bool last = i + 1 == count;
    if (used + std::strlen(item.data()) + (last ? 0 : sizeof kMore - 1) + 1 > size) {
      append(out, size, used, i > 0 ? kMore : "...");
      return;
    }
    append(out, size, used, item.data());
  }
}

void list_serial_ports(char* out, std::size_t size) {
  list_serial_ports_in("/sys", "/dev", out, size);
}

bool is_terminal_line(const char* device_path) {
  constexpr unsigned kTtyAux = 5;  // /dev/tty, /dev/console, /dev/ptmx
  constexpr long kDevptsMagic = 0x1cd1;
  struct stat node {};
  if (stat(device_path, &node) != 0 || !S_ISCHR(node.st_mode) || major(node.st_rdev) == kTtyAux) {
    return false;
  }
  // A pseudo-terminal's far end has no entry in sysfs; its file system tells what it is.
  struct statfs where {};
  if (statfs(device_path, &where) == 0 && static_cast<long>(where.f_type) == kDevptsMagic) {
    return true;
  }
  std::array<char, 64> link{};
  std::snprintf(link.data(), link.size(), "/sys/dev/char/%u:%u/subsystem", major(node.st_rdev),
                minor(node.st_rdev));
  Path target{};
  const ssize_t got = readlink(link.data(), target.data(), target.size() - 1);
  if (got <= 0) {
    return false;
  }
  target[static_cast<std::size_t>(got)] = '\0';
  const char* slash = std::strrchr(target.data(), '/');
  return std::strcmp(slash != nullptr ? slash + 1 : target.data(), "tty") == 0;
}
