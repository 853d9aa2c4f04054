// The serial port on a POSIX system: a tty file descriptor in raw mode.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "link/clock.h"
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

// The port this program made exclusive. TIOCEXCL belongs to the tty, not to a descriptor:
// anything else holding the port open (a second program, a simulated unit) keeps it after this
// program closes or dies, so it is given back explicitly, and only by the program that set it.
volatile sig_atomic_t g_exclusive_fd = -1;

void give_up_exclusive(int fd) {
  if (g_exclusive_fd == fd) {
    ioctl(fd, TIOCNXCL);
    g_exclusive_fd = -1;
  }
}

// Set when the last read failed with a real error (a hang-up, an unplugged adapter), so the
// next wait sleeps instead of polling a descriptor that reports itself ready for ever.
bool g_line_broken = false;

// DTR and RTS off. A pseudo-terminal has no modem lines; that is the only refusal tolerated.
bool lower_modem_lines(int fd) {
  int bits = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(fd, TIOCMBIC, &bits) == 0) {
    return false;
  }
  return errno != ENOTTY && errno != EINVAL;
}

const StandardRate* find_standard_rate(std::uint32_t baud_rate) {
  for (const StandardRate& entry : kStandardRates) {
    if (entry.rate == baud_rate) {
      return &entry;
    }
  }
  return nullptr;
}

bool set_line(int fd, std::uint32_t baud_rate) {
  if (baud_rate == 0) {
    return true;  // B0 would mean "hang up", not a speed
  }
  termios line{};
  if (tcgetattr(fd, &line) != 0) {
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
  if (cfsetispeed(&line, constant) != 0 || cfsetospeed(&line, constant) != 0 ||
      tcsetattr(fd, TCSANOW, &line) != 0) {
    return true;
  }
  if (standard == nullptr) {
    return set_custom_speed(fd, baud_rate);
  }
  // tcsetattr succeeds when any one change took; read back what the driver really holds.
  termios check{};
  return tcgetattr(fd, &check) != 0 || cfgetospeed(&check) != constant ||
         cfgetispeed(&check) != constant || (check.c_cflag & CSIZE) != CS8 ||
         (check.c_cflag & (PARENB | CSTOPB | CRTSCTS)) != 0;
}

bool configure(int fd, std::uint32_t baud_rate) {
  // Exclusive use: a lock for programs that honour it, TIOCEXCL against any further open.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    return true;
  }
  g_exclusive_fd = fd;
  // DTR and RTS go down straight after the open and again after the line settings, which may
  // raise them.
  return lower_modem_lines(fd) || set_line(fd, baud_rate) || lower_modem_lines(fd);
}

}  // namespace

PortHandle open_port(const char* port_name, std::uint32_t baud_rate) {
  // Non-blocking, so the open does not wait for a carrier the unit never raises.
  const int fd = open(port_name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return kInvalidPort;
  }
  if (configure(fd, baud_rate)) {
    close_port(fd);
    return kInvalidPort;
  }
  g_line_broken = false;
  return fd;
}

void close_port(PortHandle port) {
  if (port != kInvalidPort) {
    give_up_exclusive(port);
    close(port);
  }
}

void release_port_for_exit() {
  const int fd = g_exclusive_fd;
  if (fd >= 0) {
    ioctl(fd, TIOCNXCL);
  }
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
  }
  sleep_ms(timeout_ms);
}

bool prepare_attempt(PortHandle& port) {
  return port == kInvalidPort;
}

const char* open_failure_reason() {
  return "";
}
