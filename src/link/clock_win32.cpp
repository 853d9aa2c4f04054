// The clock on Windows: the system tick count and Sleep.
#include <windows.h>

#include <cstdint>

#include "link/clock.h"

std::uint32_t tick_ms() {
  return GetTickCount();
}

void sleep_ms(std::uint32_t ms) {
  Sleep(ms);
}
