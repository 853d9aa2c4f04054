// Reasons for a port that would not open: the error, who holds the port, which ports exist.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "link/diagnosis/port_reason.h"
#include "link/port_list/com_names.h"
#include "link/port_list/port_list.h"
#include "shared/fd_holders.h"

namespace {

// The process holding a flock on the device node, as /proc/locks lists it
// ("1: FLOCK  ADVISORY  WRITE 1234 00:05:3 0 EOF", the file system's device in hex).
long flock_holder(const struct stat& node) {
  FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) {
    return 0;
  }
  long found = 0;
  std::array<char, 256> line{};
  while (found == 0 && std::fgets(line.data(), static_cast<int>(line.size()), locks) != nullptr) {
    long pid = 0;
    unsigned major_number = 0;
    unsigned minor_number = 0;
    unsigned long inode = 0;
    if (std::sscanf(line.data(), "%*s FLOCK %*s %*s %ld %x:%x:%lu", &pid, &major_number,
                    &minor_number, &inode) == 4 &&
        major_number == major(node.st_dev) && minor_number == minor(node.st_dev) &&
        inode == static_cast<unsigned long>(node.st_ino) && pid != static_cast<long>(getpid())) {
      found = pid;
    }
  }
  std::fclose(locks);
  return found;
}

bool have_sudo() {
  return access("/usr/bin/sudo", X_OK) == 0 || access("/bin/sudo", X_OK) == 0;
}

void explain_permission(const char* shown, const char* device_path, char* out, std::size_t size) {
  struct stat node {};
  std::array<char, 1024> buffer{};
  group entry{};
  group* found = nullptr;
  if (geteuid() != 0 && stat(device_path, &node) == 0 && node.st_gid != 0 &&
      getgrgid_r(node.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr) {
    std::snprintf(out, size,
                  "%s: permission denied: add yourself to the %s group (%susermod -aG %s $USER) "
                  "and log in again",
                  shown, found->gr_name, have_sudo() ? "sudo " : "", found->gr_name);
  } else {
    std::snprintf(out, size,
                  "%s: permission denied: this user may not open the port; ask the "
                  "administrator for access",
                  shown);
  }
}

void explain_missing(const char* port_name, const char* shown, char* out, std::size_t size) {
  std::array<char, 640> ports{};
  list_serial_ports(ports.data(), ports.size());
  if (is_com_name(port_name, std::strlen(port_name))) {
    std::snprintf(out, size,
                  "%s: no such port; on Linux ports are named /dev/ttyUSB0, /dev/ttyACM0, "
                  "/dev/ttyS0 ...%s%s",
                  shown, ports[0] != '\0' ? "; serial ports here: " : "", ports.data());
  } else {
    say_no_such_port(out, size, shown, "", ports.data());
  }
}

}  // namespace

void describe_process(long pid, char* out, std::size_t size) {
  std::array<char, 64> path{};
  std::snprintf(path.data(), path.size(), "/proc/%ld/comm", pid);
  std::array<char, 32> name{};
  const int fd = open(path.data(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    const ssize_t got = read(fd, name.data(), name.size() - 1);
    close(fd);
    name[got > 0 ? static_cast<std::size_t>(got) : 0] = '\0';
    name[std::strcspn(name.data(), "\n")] = '\0';
  }
  std::array<char, 80> shown{};
  printable_name(name.data(), shown.data(), shown.size());
  if (shown[0] != '\0') {
    std::snprintf(out, size, "PID %ld, %s", pid, shown.data());
  } else {
    std::snprintf(out, size, "PID %ld", pid);
  }
}

void find_holder(const char* device_path, char* out, std::size_t size) {
  out[0] = '\0';
  struct stat node {};
  if (stat(device_path, &node) != 0) {
    return;
  }
  // The flock says who claimed the port; other holders (a unit simulator, a getty) come after.
  long pid = flock_holder(node);
  if (pid == 0 && S_ISCHR(node.st_mode)) {
    pid = device_holder(node.st_rdev);
  }
  if (pid > 0) {
    describe_process(pid, out, size);
  }
}

void explain_error(const char* port_name, const char* device_path, int error, char* out,
                   std::size_t size) {
  std::array<char, kShownNameBytes> shown{};
  printable_name(port_name, shown.data(), shown.size());
  std::array<char, 64> holder{};
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      explain_missing(port_name, shown.data(), out, size);
      break;
    case EACCES:
    case EPERM:
      explain_permission(shown.data(), device_path, out, size);
      break;
    case EBUSY:
    case EWOULDBLOCK:
      find_holder(device_path, holder.data(), holder.size());
      say_in_use(out, size, shown.data(), holder.data());
      break;
    case ENOTTY:
    case EISDIR:
    case EINVAL:
      say_not_serial(out, size, shown.data(), "");
      break;
    case ENXIO:
    case ENODEV:
    case EIO:
      std::snprintf(out, size,
                    "%s: nothing answers on this port (an adapter unplugged, or a port this "
                    "computer does not have)",
                    shown.data());
      break;
    default:
      std::snprintf(out, size, "%s: %s", shown.data(), std::strerror(error));
      break;
  }
}
