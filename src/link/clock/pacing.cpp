// The one pause of the program, built on the platform's tick count and sleep.
#include "link/clock/clock.h"

void pause_ms(std::uint32_t ms) {
  if (ms == 0) {
    return;
  }
  if (ms < 20) {
    ms = 20;
  }
  const std::uint32_t start = tick_ms();
  for (;;) {
    const std::uint32_t elapsed = tick_ms() - start;  // unsigned: safe across the wrap
    if (elapsed > ms) {
      return;
    }
    sleep_ms(ms - elapsed + 1);
  }
}
