// The Windows pause on the real clock (or Wine's): its 20 ms floor and the longer pauses,
// which the end-to-end runs under Wine only see in sum.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>

#include "link/clock/clock.h"

namespace {

using Steady = std::chrono::steady_clock;

double ms_since(Steady::time_point start) {
  return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

// Only lower bounds: how close a pause comes to what was asked is the benchmark's to measure.
TEST(WindowsClock, PauseKeepsItsRules) {
  begin_fine_timing();
  const struct {
    std::uint32_t asked;
    double more_than;
  } cases[] = {{1, 20}, {10, 20}, {20, 20}, {50, 50}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    const std::uint32_t tick_before = tick_ms();
    const Steady::time_point start = Steady::now();
    pause_ms(c.asked);
    EXPECT_GT(ms_since(start), c.more_than - 1.0);  // the other clock may round the other way
    EXPECT_GT(tick_ms() - tick_before, c.more_than);
  }
  const Steady::time_point start = Steady::now();
  pause_ms(0);
  EXPECT_LT(ms_since(start), 5.0);
  end_fine_timing();
}

}  // namespace
