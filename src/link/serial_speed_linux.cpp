// Linux takes any rate through termios2 and BOTHER. This header clashes with <termios.h>,
// which is why this lives in its own file.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include "link/divisor_rate.h"
#include "link/serial_speed.h"

bool set_custom_speed(int fd, std::uint32_t baud_rate) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) {
    return true;
  }
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = baud_rate;
  settings.c_ospeed = baud_rate;
  if (ioctl(fd, TCSETS2, &settings) != 0) {
    return true;
  }
  struct termios2 check {};
  if (ioctl(fd, TCGETS2, &check) != 0) {
    return true;
  }
  return check.c_ospeed != baud_rate || check.c_ispeed != baud_rate;
}

std::uint32_t uart_base_rate(int fd) {
  struct serial_struct info {};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0 || info.baud_base <= 0) {
    return 0;
  }
  return static_cast<std::uint32_t>(info.baud_base);
}

bool check_divisor_rate(int fd, std::uint32_t baud_rate, std::uint32_t& made_out) {
  made_out = baud_rate;
  // The driver stores the rate asked for, not the one its divisor gives, so the read-back
  // cannot tell; its clock can. Most USB adapters report no clock; FTDI's is fast enough that
  // a whole divisor stays within 2% up to about a million bit/s.
  const std::uint32_t base = uart_base_rate(fd);
  if (base == 0 || baud_rate > base) {
    return false;
  }
  made_out = divisor_rate(base, baud_rate);
  return rate_too_far(baud_rate, made_out);
}
