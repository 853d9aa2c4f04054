// The serial port on a POSIX system: a tty file descriptor in raw mode, announced to other
// programs by a lock file and claimed by flock and TIOCEXCL.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "link/diagnosis/port_reason.h"
#include "link/lock/port_lock.h"
#include "link/port/port_posix.h"
#include "link/port/serial_link.h"
#include "link/port_list/port_list.h"

namespace {

// The port this program made exclusive. TIOCEXCL belongs to the tty, not to a descriptor:
// anything else holding the port open (a second program, a simulated unit) keeps it after this
// program closes or dies, so it is given back explicitly, and only by the program that set it.
volatile sig_atomic_t g_exclusive_fd = -1;

// The line settings the port had when it was opened, given back on every way out while the
// port is there; g_found_fd is the descriptor they belong to, -1 once given back or before any
// change was made.
termios g_found_line{};
volatile sig_atomic_t g_found_fd = -1;

// What the port was opened as, to open it again after a replug.
std::array<char, PATH_MAX> g_port_name{};
std::uint32_t g_baud_rate = 0;
bool g_port_known = false;

// Why the open under way failed, the quoted name in front included.
constexpr std::size_t kOpenReasonBytes = 1024;
std::array<char, kOpenReasonBytes> g_reason{};

// Puts the settings found at open back, lines down, and gives up the exclusive claim, for
// the descriptor fd; async-signal-safe. The flags go only once done, so a signal meanwhile
// does it again from its handler, which is harmless.
void give_back(int fd) {
  if (fd >= 0 && g_found_fd == fd) {
    // Neither what is still queued out nor what came in goes through the settings found: at
    // another speed the one would reach the unit garbled, and with their echo the other would
    // be sent back to it.
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSANOW, &g_found_line);
    lower_modem_lines(fd);  // the settings found may raise them; they stay down
    g_found_fd = -1;
  }
  if (fd >= 0 && g_exclusive_fd == fd) {
    ioctl(fd, TIOCNXCL);
    g_exclusive_fd = -1;
  }
}

void explain_errno(const char* port_name, const char* device, int error) {
  explain_error(port_name, device, error, g_reason.data(), g_reason.size());
}

// True when another process is seen holding the device open, with the reason naming it ("in
// use by another program (PID 1234, minicom)").
bool held_elsewhere(const char* port_name, const char* device) {
  std::array<char, 64> holder{};
  find_holder(device, holder.data(), holder.size());
  if (holder[0] == '\0') {
    return false;
  }
  std::array<char, kShownNameBytes> shown{};
  printable_name(port_name, shown.data(), shown.size());
  say_in_use(g_reason.data(), g_reason.size(), shown.data(), holder.data());
  return true;
}

// The controlling terminal, as the kernel reports it in /proc/self/stat ("tty_nr", the seventh
// field, after the name in parentheses); 0 when there is none or no such file.
dev_t controlling_terminal() {
  std::array<char, 512> stat_line{};
  const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
  const ssize_t got = fd >= 0 ? read(fd, stat_line.data(), stat_line.size() - 1) : -1;
  if (fd >= 0) {
    close(fd);
  }
  const char* after_name = got > 0 ? std::strrchr(stat_line.data(), ')') : nullptr;
  unsigned tty_nr = 0;
  if (after_name == nullptr || std::sscanf(after_name + 1, " %*c %*d %*d %*d %u", &tty_nr) != 1) {
    return 0;
  }
  return makedev((tty_nr >> 8) & 0xfffU, (tty_nr & 0xffU) | ((tty_nr >> 12) & 0xfff00U));
}

// Whether the device is this program's own terminal, on which it would take its operator's
// keys as the unit's bytes: the one on standard input or output, or the controlling one when
// those are redirected.
bool own_terminal(const struct stat& node) {
  for (const int fd : {0, 1, 2}) {
    struct stat own {};
    if (isatty(fd) != 0 && fstat(fd, &own) == 0 && own.st_rdev == node.st_rdev) {
      return true;
    }
  }
  const dev_t controlling = controlling_terminal();
  return controlling != 0 && controlling == node.st_rdev;
}

// Claims the open port and sets it up. Nothing on the port changes until no other holder is
// left in sight; from then on the settings found are given back on every way out.
bool configure(int fd, const char* port_name, const char* device, std::uint32_t baud_rate) {
  // Exclusive use: a lock for programs that honour it, TIOCEXCL against any further open. A
  // port already exclusive is another program's claim (root gets past it), and stays so.
  int exclusive = 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    explain_errno(port_name, device, errno);
    return true;
  }
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    if (!held_elsewhere(port_name, device)) {
      explain_errno(port_name, device, EBUSY);
    }
    return true;
  }
  // A port with no UART behind it opens, then fails every request with EIO.
  if (ioctl(fd, TIOCEXCL) != 0) {
    explain_errno(port_name, device, errno);
    return true;
  }
  g_exclusive_fd = fd;
  // Another program may have opened the port between the look before the open and the claim.
  if (held_elsewhere(port_name, device)) {
    return true;
  }
  termios found{};
  if (tcgetattr(fd, &found) != 0) {
    explain_errno(port_name, device, errno);
    return true;
  }
  g_found_line = found;
  std::atomic_signal_fence(std::memory_order_seq_cst);  // complete before a handler may use it
  g_found_fd = fd;
  // DTR and RTS go down straight after the open and again after the line settings, which may
  // raise them.
  if (lower_modem_lines(fd) || set_line(fd, port_name, baud_rate) || lower_modem_lines(fd)) {
    if (g_reason[0] == '\0') {
      explain_errno(port_name, device, errno);
    }
    return true;
  }
  return false;
}

void close_line(int fd) {
  give_back(fd);
  close(fd);
}

// Looks at the port, takes its lock files, checks that no other program has it, opens and
// configures it. Returns the descriptor, or -1 with the reason set; a lock taken here is
// dropped again unless keep_lock. A refusal before the configuring leaves the port untouched:
// on Linux even an open raises DTR and RTS, so every look that can refuse comes first.
int open_named(const char* port_name, std::uint32_t baud_rate, bool keep_lock) {
  g_reason[0] = '\0';
  std::array<char, PATH_MAX> device{};
  if (realpath(port_name, device.data()) == nullptr) {
    explain_errno(port_name, port_name, errno);
    return -1;
  }
  struct stat node {};
  if (stat(device.data(), &node) != 0 || !S_ISCHR(node.st_mode) ||
      !is_terminal_line(device.data())) {
    say_not_a_serial_port(port_name);
    return -1;
  }
  if (own_terminal(node)) {
    say_open_failure(port_name, "this is the terminal the program runs in, not a serial port");
    return -1;
  }
  if (access(device.data(), R_OK | W_OK) != 0) {
    explain_errno(port_name, device.data(), errno);
    return -1;
  }
  // Room for what follows "NAME: " in the reason.
  std::array<char, kOpenReasonBytes - kShownNameBytes - sizeof ": "> lock_reason{};
  if (take_port_lock(port_name, device.data(), lock_reason.data(), lock_reason.size())) {
    say_open_failure(port_name, lock_reason.data());
    return -1;
  }
  int fd = -1;
  if (!held_elsewhere(port_name, device.data())) {
    // Non-blocking, so the open does not wait for a carrier the unit never raises.
    fd = open(device.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct stat opened {};
    if (fd < 0) {
      explain_errno(port_name, device.data(), errno);
    } else if (fstat(fd, &opened) != 0 || opened.st_rdev != node.st_rdev) {
      // The name now leads elsewhere (a device replugged between the looks and the open).
      close(fd);
      fd = -1;
      explain_errno(port_name, device.data(), ENODEV);
    } else if (configure(fd, port_name, device.data(), baud_rate)) {
      close_line(fd);
      fd = -1;
    }
  }
  if (fd < 0 && !keep_lock) {
    drop_port_lock();
  }
  return fd;
}

}  // namespace

PortHandle open_port(const char* port_name, std::uint32_t baud_rate) {
  const int fd = open_named(port_name, baud_rate, false);
  if (fd < 0) {
    return kInvalidPort;
  }
  g_port_known = std::snprintf(g_port_name.data(), g_port_name.size(), "%s", port_name) < PATH_MAX;
  g_baud_rate = baud_rate;
  reset_line_state();
  const char* no_lock = missing_lock_reason();
  if (no_lock[0] != '\0') {
    std::array<char, kShownNameBytes> shown{};
    printable_name(port_name, shown.data(), shown.size());
    std::fprintf(stderr,
                 "quorvel-setup: %s: going on without a lock file (%s); programs that only look "
                 "for lock files will not see that the port is taken\n",
                 shown.data(), no_lock);
  }
  return fd;
}

void close_port(PortHandle port) {
  if (port != kInvalidPort) {
    tcdrain(port);  // the last line's bytes leave at its own speed; a line that is gone fails
    close_line(port);
  }
  g_port_known = false;
  drop_port_lock();
}

void release_port_for_exit() {
  give_back(g_found_fd);
  give_back(g_exclusive_fd);
  drop_port_lock();
}

PortFit ready_port_for_attempt(PortHandle& port) {
  if (port != kInvalidPort && !line_gone()) {
    // Anything that opened the port meanwhile (root passes TIOCEXCL) raised DTR and RTS.
    if (!lower_modem_lines(port) || !gone_error(errno)) {
      return PortFit::kReady;
    }
    note_line_gone();
  }
  if (!g_port_known) {
    return port == kInvalidPort ? PortFit::kMissing : PortFit::kReady;
  }
  if (port != kInvalidPort) {
    close_line(port);  // the lock file stays: the port is still this run's
    port = kInvalidPort;
  }
  const int fd = open_named(g_port_name.data(), g_baud_rate, true);
  if (fd < 0) {
    return PortFit::kMissing;
  }
  port = fd;
  reset_line_state();
  return PortFit::kReopened;
}

void say_open_failure(const char* port_name, const char* what) {
  std::array<char, kShownNameBytes> shown{};
  printable_name(port_name, shown.data(), shown.size());
  std::snprintf(g_reason.data(), g_reason.size(), "%s: %s", shown.data(), what);
}

void say_not_a_serial_port(const char* port_name) {
  std::array<char, kShownNameBytes> shown{};
  printable_name(port_name, shown.data(), shown.size());
  say_not_serial(g_reason.data(), g_reason.size(), shown.data(), "");
}

const char* open_failure_reason() {
  return g_reason.data();
}
