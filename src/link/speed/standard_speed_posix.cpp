// The rates termios names with a constant of its own; any other goes through set_custom_speed.
#include <termios.h>

#include <array>
#include <cstdint>

#include "link/speed/serial_speed.h"

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

// The constant for baud_rate, or B0 when termios names none (B0 is no speed: it hangs up).
speed_t standard_constant(std::uint32_t baud_rate) {
  for (const StandardRate& entry : kStandardRates) {
    if (entry.rate == baud_rate) {
      return entry.constant;
    }
  }
  return B0;
}

}  // namespace

bool is_standard_rate(std::uint32_t baud_rate) {
  return standard_constant(baud_rate) != B0;
}

bool put_standard_speed(termios& line, std::uint32_t baud_rate) {
  const speed_t standard = standard_constant(baud_rate);
  const speed_t constant = standard != B0 ? standard : B9600;
  return cfsetispeed(&line, constant) != 0 || cfsetospeed(&line, constant) != 0;
}

bool holds_standard_speed(const termios& line, std::uint32_t baud_rate) {
  const speed_t constant = standard_constant(baud_rate);
  return constant == B0 || (cfgetospeed(&line) == constant && cfgetispeed(&line) == constant);
}
