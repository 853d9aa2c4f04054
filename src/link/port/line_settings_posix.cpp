// The POSIX serial port's line: raw 8N1 at the speed asked for, checked by reading it back, and
// the modem lines held down.
#include <errno.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "link/port/port_posix.h"
#include "link/speed/serial_speed.h"

namespace {

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
  say_open_failure(port_name, what.data());
}

}  // namespace

bool lower_modem_lines(int fd) {
  int bits = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(fd, TIOCMBIC, &bits) == 0) {
    return false;
  }
  return errno != ENOTTY && errno != EINVAL;
}

bool set_line(int fd, const char* port_name, std::uint32_t baud_rate) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) {
    say_not_a_serial_port(port_name);
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
  if (put_standard_speed(line, baud_rate)) {
    say_speed(fd, port_name, baud_rate, 0);
    return true;
  }
  if (tcsetattr(fd, TCSANOW, &line) != 0) {
    std::array<char, 160> what{};
    std::snprintf(what.data(), what.size(),
                  "the port refused its line settings (raw, 8 data bits, no parity, one stop "
                  "bit, %u bit/s): %s",
                  static_cast<unsigned>(baud_rate), std::strerror(errno));
    say_open_failure(port_name, what.data());
    return true;
  }
  if (!is_standard_rate(baud_rate) && set_custom_speed(fd, baud_rate)) {
    say_speed(fd, port_name, baud_rate, 0);
    return true;
  }
  // tcsetattr succeeds when any one change took; read back what the driver really holds.
  termios check{};
  if (tcgetattr(fd, &check) != 0 || (check.c_cflag & CSIZE) != CS8 ||
      (check.c_cflag & (PARENB | CSTOPB | CRTSCTS)) != 0) {
    say_open_failure(port_name, "the port does not take 8 data bits, no parity, one stop bit");
    return true;
  }
  if (!holds_standard_speed(check, baud_rate)) {
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
