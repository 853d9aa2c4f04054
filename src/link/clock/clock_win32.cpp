// The clock on Windows: the performance counter for the tick, Sleep for the waits, and a
// millisecond timer period for the run, without which Sleep and the system's own tick move in
// steps of about 15.6 ms and every 20 ms pause would last about 31.
#include <windows.h>
// after windows.h, which it needs
#include <mmsystem.h>

#include <cstdint>

#include "link/clock/clock.h"

namespace {

bool g_period_set = false;

}  // namespace

std::uint32_t tick_ms() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
  const auto now = static_cast<std::uint64_t>(count.QuadPart);
  // Seconds and the rest apart, so that the product never overflows on a long uptime.
  const std::uint64_t ms = now / per_second * 1000U + now % per_second * 1000U / per_second;
  return static_cast<std::uint32_t>(ms);  // wraps, as the callers expect
}

void sleep_ms(std::uint32_t ms) {
  Sleep(ms);
}

void begin_fine_timing() {
  g_period_set = timeBeginPeriod(1) == TIMERR_NOERROR;
}

void end_fine_timing() {
  if (g_period_set) {
    timeEndPeriod(1);
    g_period_set = false;
  }
}
