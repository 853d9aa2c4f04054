// Line speeds outside the standard table, where the system's driver takes them.
#pragma once

#include <cstdint>

// Sets both directions of an already configured port to baud_rate and reads it back. Returns
// true on failure (no such interface, the driver refused, or it reports another rate).
bool set_custom_speed(int fd, std::uint32_t baud_rate);
