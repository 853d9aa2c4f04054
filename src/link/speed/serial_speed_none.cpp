// Systems without a custom-rate interface: only the standard rates open.
#include "link/speed/serial_speed.h"

bool set_custom_speed(int /*fd*/, std::uint32_t /*baud_rate*/) {
  return true;
}

std::uint32_t uart_base_rate(int /*fd*/) {
  return 0;
}

bool check_divisor_rate(int /*fd*/, std::uint32_t /*baud_rate*/, std::uint32_t& made_out) {
  made_out = 0;
  return false;
}
