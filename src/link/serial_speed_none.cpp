// Systems without a custom-rate interface: only the standard rates open.
#include "link/serial_speed.h"

bool set_custom_speed(int /*fd*/, std::uint32_t /*baud_rate*/) {
  return true;
}
