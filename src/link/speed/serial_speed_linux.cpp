// Linux takes any rate through termios2 and BOTHER. This header clashes with <termios.h>,
// which is why this lives in its own file.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include "link/speed/divisor_rate.h"
#include "link/speed/serial_speed.h"

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

namespace {

// The port's setserial alias for 38400. The UART drivers (those that name their UART type) run
// every spd_ setting; USB adapters name none and take only spd_cust, and that only with a
// divisor.
SpeedAlias alias_of(const serial_struct& info) {
  const unsigned spd = static_cast<unsigned>(info.flags) & ASYNC_SPD_MASK;
  const bool uart = info.type != PORT_UNKNOWN;
  if (spd == ASYNC_SPD_CUST) {
    return uart || info.custom_divisor > 0 ? SpeedAlias::kCustom : SpeedAlias::kNone;
  }
  if (!uart) {
    return SpeedAlias::kNone;
  }
  switch (spd) {
    case ASYNC_SPD_HI:
      return SpeedAlias::kHi;
    case ASYNC_SPD_VHI:
      return SpeedAlias::kVhi;
    case ASYNC_SPD_SHI:
      return SpeedAlias::kShi;
    case ASYNC_SPD_WARP:
      return SpeedAlias::kWarp;
    default:
      return SpeedAlias::kNone;
  }
}

}  // namespace

bool check_divisor_rate(int fd, std::uint32_t baud_rate, std::uint32_t& made_out) {
  made_out = baud_rate;
  // The driver stores the rate asked for, not the one its divisor gives, so the read-back
  // cannot tell; its clock can. A UART's driver divides it the 16550's way; ftdi_sio reports
  // a clock of FTDI's own and divides it in eighths, which makes 300 but wraps round below 184
  // bit/s. Other USB adapters' clocks say nothing of their divisors: the read-back decides. A
  // port that setserial told to run 38400 as another rate does so without a word either.
  struct serial_struct info {};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0 || info.baud_base <= 0) {
    return false;
  }
  const auto divisor =
      static_cast<std::uint32_t>(info.custom_divisor > 0 ? info.custom_divisor : 0);
  made_out = port_rate(static_cast<std::uint32_t>(info.baud_base), info.type != PORT_UNKNOWN,
                       baud_rate, alias_of(info), divisor);
  return rate_too_far(baud_rate, made_out);
}
