// The Windows pause on the real clock (or Wine's): its 20 ms floor and the longer pauses,
// which the end-to-end runs under Wine only see in sum.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>

#include "link/clock/clock.h"

namespace {

// Only lower bounds, on the program's tick and on another clock (which may round the other
// way): how close a pause comes to what was asked is the benchmark's to measure. A pause of 0
// returns at once.
TEST(WindowsClock, PauseKeepsItsRules) {
  begin_fine_timing();
  const struct {
    std::uint32_t asked;
    double more_than;
  } cases[] = {{1, 20}, {10, 20}, {20, 20}, {50, 50}, {0, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    const std::uint32_t tick_before = tick_ms();
    const auto start = std::chrono::steady_clock::now();
    pause_ms(c.asked);
    const std::chrono::duration<double, std::milli> lasted =
        std::chrono::steady_clock::now() - start;
    EXPECT_GT(lasted.count(), c.more_than - 1.0);
    EXPECT_TRUE(c.asked == 0 ? lasted.count() < 5.0 : tick_ms() - tick_before > c.more_than);
  }
  end_fine_timing();
}

}  // namespace
