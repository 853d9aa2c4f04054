// The serial port on a POSIX system: a tty file descriptor in raw mode, announced to other
// programs by a lock file and claimed by flock and TIOCEXCL.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "link/clock.h"
#include "link/lock_file_posix.h"
#include "link/port_list.h"
#include "link/port_reason.h"
#include "link/port_reason_posix.h"
#include "link/serial_link.h"
#include "link/serial_speed.h"

namespace {

struct StandardRate {
  std::uint32_t rate;
  speed_t constant;
};

constexpr std::array<StandardRate, 17> kStandardRates{{
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
}};

constexpr std::size_t kReasonBytes = 1024;

// The port this program made exclusive. TIOCEXCL belongs to the tty, not to a descriptor:
// anything else holding the port open (a second program, a simulated unit) keeps it after this
// program closes or dies, so it is given back explicitly, and only by the program that set it.
volatile sig_atomic_t g_exclusive_fd = -1;

// The line settings the port had when it was opened, given back on every way out while the
// port is there; g_found_fd is the descriptor they belong to, -1 once given back or before any
// change was made.
termios g_found_line{};
volatile sig_atomic_t g_found_fd = -1;

// Set when the last read failed with a real error (a hang-up, an unplugged adapter), so the
// next wait sleeps instead of polling a descriptor that reports itself ready for ever.
bool g_line_broken = false;
// Set when the line is gone for good (hung up, an adapter pulled): the next attempt closes the
// dead descriptor, which would otherwise keep the device's name from the adapter when it is
// plugged back, and opens the port again by name.
bool g_line_gone = false;

// What the port was opened as, to open it again after a replug.
std::array<char, PATH_MAX> g_port_name{};
std::uint32_t g_baud_rate = 0;
bool g_port_known = false;

std::array<char, kReasonBytes> g_reason{};

// DTR and RTS off. A pseudo-terminal has no modem lines; that is the only refusal tolerated.
bool lower_modem_lines(int fd) {
  int bits = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(fd, TIOCMBIC, &bits) == 0) {
    return false;
  }
  return errno != ENOTTY && errno != EINVAL;
}

// Puts the settings found at open back, lines down, and gives up the exclusive claim, for
// the descriptor fd; async-signal-safe. The flags go only once done, so a signal meanwhile
// does it again from its handler, which is harmless.
void give_back(int fd) {
  if (fd >= 0 && g_found_fd == fd) {
    tcsetattr(fd, TCSANOW, &g_found_line);
    lower_modem_lines(fd);  // the settings found may raise them; they stay down
    g_found_fd = -1;
  }
  if (fd >= 0 && g_exclusive_fd == fd) {
    ioctl(fd, TIOCNXCL);
    g_exclusive_fd = -1;
  }
}

bool gone_error(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

// The reason an open failed: the port's name, then what.
void say(const char* port_name, const char* what) {
  std::array<char, 272> shown{};  // a name of 64 characters, each perhaps \xNN
  printable_name(port_name, shown.data(), shown.size());
  std::snprintf(g_reason.data(), g_reason.size(), "%s: %s", shown.data(), what);
}

// A speed the port refused or cannot make, with the rate it makes instead (made) or, where the
// speed is beyond the UART's clock, the fastest it runs.
void say_speed(int fd, const char* port_name, std::uint32_t baud_rate, std::uint32_t made) {
  const std::uint32_t fastest = uart_base_rate(fd);
  std::array<char, 128> what{};
  if (made != 0) {
    std::snprintf(what.data(), what.size(),
                  "the port cannot run at %u bit/s; the nearest it makes is %u bit/s",
                  static_cast<unsigned>(baud_rate), static_cast<unsigned>(made));
  } else if (fastest != 0 && baud_rate > fastest) {
    std::snprintf(what.data(), what.size(),
                  "the port cannot run at %u bit/s; the fastest it runs is %u bit/s",
                  static_cast<unsigned>(baud_rate), static_cast<unsigned>(fastest));
  } else {
    std::snprintf(what.data(), what.size(), "the port cannot run at %u bit/s",
                  static_cast<unsigned>(baud_rate));
  }
  say(port_name, what.data());
}

const StandardRate* find_standard_rate(std::uint32_t baud_rate) {
  for (const StandardRate& entry : kStandardRates) {
    if (entry.rate == baud_rate) {
      return &entry;
    }
  }
  return nullptr;
}

// Sets raw 8N1 at baud_rate and checks that the driver holds it. Returns true (failure) with
// the reason set.
bool set_line(int fd, const char* port_name, std::uint32_t baud_rate) {
  if (baud_rate == 0) {
    say(port_name, "0 is not a line speed");  // B0 would mean "hang up", not a speed
    return true;
  }
  termios line{};
  if (tcgetattr(fd, &line) != 0) {
    say(port_name, "not a serial port");
    return true;
  }
  // Raw 8N1: no parity, one stop bit, no flow control of either kind, no echo, no line editing,
  // no translation of any byte in either direction; a read returns at once with what is there.
  line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                         IXON | IXOFF | IXANY | INPCK);
  line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  line.c_cc[VMIN] = 0;
  line.c_cc[VTIME] = 0;
  const StandardRate* standard = find_standard_rate(baud_rate);
  const speed_t constant = standard != nullptr ? standard->constant : B9600;
  if (cfsetispeed(&line, constant) != 0 || cfsetospeed(&line, constant) != 0) {
    say_speed(fd, port_name, baud_rate, 0);
    return true;
  }
  if (tcsetattr(fd, TCSANOW, &line) != 0) {
    std::array<char, 160> what{};
    std::snprintf(what.data(), what.size(),
                  "the port refused its line settings (raw, 8 data bits, no parity, one stop "
                  "bit, %u bit/s): %s",
                  static_cast<unsigned>(baud_rate), std::strerror(errno));
    say(port_name, what.data());
    return true;
  }
  if (standard == nullptr && set_custom_speed(fd, baud_rate)) {
    say_speed(fd, port_name, baud_rate, 0);
    return true;
  }
  // tcsetattr succeeds when any one change took; read back what the driver really holds.
  termios check{};
  if (tcgetattr(fd, &check) != 0 || (check.c_cflag & CSIZE) != CS8 ||
      (check.c_cflag & (PARENB | CSTOPB | CRTSCTS)) != 0) {
    say(port_name, "the port does not take 8 data bits, no parity, one stop bit");
    return true;
  }
  if (standard != nullptr && (cfgetospeed(&check) != constant || cfgetispeed(&check) != constant)) {
    say_speed(fd, port_name, baud_rate, 0);
    return true;
  }
  std::uint32_t made = 0;
  if (check_divisor_rate(fd, baud_rate, made)) {
    say_speed(fd, port_name, baud_rate, made);
    return true;
  }
  return false;
}

// True when another process is seen holding the device open, with the reason naming it ("in
// use by another program (PID 1234, minicom)").
bool held_elsewhere(const char* port_name, const char* device) {
  std::array<char, 64> holder{};
  find_holder(device, holder.data(), holder.size());
  if (holder[0] == '\0') {
    return false;
  }
  std::array<char, 272> shown{};
  printable_name(port_name, shown.data(), shown.size());
  say_in_use(g_reason.data(), g_reason.size(), shown.data(), holder.data());
  return true;
}

// Whether the device is this program's own terminal, on which it would take its operator's
// keys as the unit's bytes.
bool own_terminal(const struct stat& node) {
  for (const int fd : {0, 1, 2}) {
    struct stat own {};
    if (isatty(fd) != 0 && fstat(fd, &own) == 0 && own.st_rdev == node.st_rdev) {
      return true;
    }
  }
  return false;
}

// Claims the open port and sets it up. Nothing on the port changes until no other holder is
// left in sight; from then on the settings found are given back on every way out.
bool configure(int fd, const char* port_name, const char* device, std::uint32_t baud_rate) {
  // Exclusive use: a lock for programs that honour it, TIOCEXCL against any further open. A
  // port already exclusive is another program's claim (root gets past it), and stays so.
  int exclusive = 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    explain_error(port_name, device, errno, g_reason.data(), g_reason.size());
    return true;
  }
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    if (!held_elsewhere(port_name, device)) {
      explain_error(port_name, device, EBUSY, g_reason.data(), g_reason.size());
    }
    return true;
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    say(port_name, "not a serial port");
    return true;
  }
  g_exclusive_fd = fd;
  // Another program may have opened the port between the look before the open and the claim.
  if (held_elsewhere(port_name, device)) {
    return true;
  }
  termios found{};
  if (tcgetattr(fd, &found) != 0) {
    say(port_name, "not a serial port");
    return true;
  }
  g_found_line = found;
  std::atomic_signal_fence(std::memory_order_seq_cst);  // complete before a handler may use it
  g_found_fd = fd;
  // DTR and RTS go down straight after the open and again after the line settings, which may
  // raise them.
  if (lower_modem_lines(fd) || set_line(fd, port_name, baud_rate) || lower_modem_lines(fd)) {
    if (g_reason[0] == '\0') {
      explain_error(port_name, device, errno, g_reason.data(), g_reason.size());
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
    explain_error(port_name, port_name, errno, g_reason.data(), g_reason.size());
    return -1;
  }
  struct stat node {};
  if (stat(device.data(), &node) != 0 || !S_ISCHR(node.st_mode) ||
      !is_terminal_line(device.data())) {
    say(port_name, "not a serial port");
    return -1;
  }
  if (own_terminal(node)) {
    say(port_name, "this is the terminal the program runs in, not a serial port");
    return -1;
  }
  if (access(device.data(), R_OK | W_OK) != 0) {
    explain_error(port_name, device.data(), errno, g_reason.data(), g_reason.size());
    return -1;
  }
  std::array<char, kReasonBytes - 320> lock_reason{};  // after the quoted name
  if (take_port_lock(port_name, device.data(), lock_reason.data(), lock_reason.size())) {
    say(port_name, lock_reason.data());
    return -1;
  }
  int fd = -1;
  if (!held_elsewhere(port_name, device.data())) {
    // Non-blocking, so the open does not wait for a carrier the unit never raises.
    fd = open(device.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      explain_error(port_name, device.data(), errno, g_reason.data(), g_reason.size());
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
  g_line_broken = false;
  g_line_gone = false;
  const char* no_lock = missing_lock_reason();
  if (no_lock[0] != '\0') {
    std::array<char, 272> shown{};
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

void write_byte(PortHandle port, std::uint32_t pause, std::uint8_t byte) {
  // A full output queue on a non-blocking descriptor says EAGAIN: wait for room a bounded
  // number of times, so a stuck line cannot hold the program for ever.
  constexpr int kRoomWaits = 5;
  constexpr int kRoomWaitMs = 1000;
  for (int room_waits = 0; room_waits < kRoomWaits;) {
    const ssize_t written = write(port, &byte, 1);
    if (written == 1) {
      break;
    }
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0 && errno != EAGAIN) {
      g_line_gone = g_line_gone || gone_error(errno);
      break;  // a hung-up or broken line: the echo wait will tell
    }
    ++room_waits;
    pollfd pfd{port, POLLOUT, 0};
    if (poll(&pfd, 1, kRoomWaitMs) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      sleep_ms(kRoomWaitMs);  // says ready but is not: do not spin on it
    }
  }
  pause_ms(pause);
}

bool read_byte(PortHandle port, std::uint8_t& byte_out) {
  std::uint8_t byte = 0;
  const ssize_t got = read(port, &byte, 1);
  if (got == 1) {
    g_line_broken = false;
    byte_out = byte;
    return false;
  }
  g_line_broken = got < 0 && errno != EAGAIN && errno != EINTR;
  g_line_gone = g_line_gone || (got < 0 && gone_error(errno));
  return true;
}

void wait_for_byte(PortHandle port, std::uint32_t timeout_ms) {
  if (!g_line_broken) {
    pollfd pfd{port, POLLIN, 0};
    const int timeout = timeout_ms > 60000U ? 60000 : static_cast<int>(timeout_ms);
    const int ready = poll(&pfd, 1, timeout);
    if (ready <= 0 || (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
      return;  // a byte, the time-out, or a signal
    }
    g_line_gone = g_line_gone || (pfd.revents & (POLLHUP | POLLERR)) != 0;
  }
  sleep_ms(timeout_ms);
}

PortFit prepare_attempt(PortHandle& port) {
  if (port != kInvalidPort && !g_line_gone) {
    // Anything that opened the port meanwhile (root passes TIOCEXCL) raised DTR and RTS.
    if (!lower_modem_lines(port) || !gone_error(errno)) {
      return PortFit::kReady;
    }
    g_line_gone = true;
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
  g_line_broken = false;
  g_line_gone = false;
  return PortFit::kReopened;
}

const char* open_failure_reason() {
  return g_reason.data();
}
