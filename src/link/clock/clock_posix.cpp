// The clock on a POSIX system: CLOCK_MONOTONIC and nanosleep.
#include <time.h>

#include <cstdint>

#include "link/clock/clock.h"

std::uint32_t tick_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
  return static_cast<std::uint32_t>(ms);  // wraps, as the callers expect
}

void sleep_ms(std::uint32_t ms) {
  timespec span{};
  span.tv_sec = static_cast<time_t>(ms / 1000U);
  span.tv_nsec = static_cast<long>(ms % 1000U) * 1000000L;
  nanosleep(&span, nullptr);
}

// Sleeps and the monotonic clock are already fine here.
void begin_fine_timing() {}
void end_fine_timing() {}
