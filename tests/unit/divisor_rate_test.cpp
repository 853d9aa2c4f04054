// The rate a 16550-family UART really makes, and which rates are close enough to use.
#include "link/speed/divisor_rate.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(DivisorRate, TheWholeDivisorNearestTheClock) {
  const struct {
    std::uint32_t baud_base;
    std::uint32_t asked;
    std::uint32_t made;
    bool too_far;
  } cases[] = {
      // A PC serial port: 1.8432 MHz / 16.
      {115200, 9600, 9600, false},
      {115200, 12345, 12800, true},  // divisor 9: 3.7% fast
      {115200, 75, 75, false},
      {115200, 110, 110, false},  // divisor 1047: 110.03
      {115200, 115200, 115200, false},
      {115200, 80000, 115200, true},  // nothing between divisors 1 and 2
      {115200, 57000, 57600, false},  // 1.05%: close enough
      // A 24 MHz clock on the same divisor: fine up to about a million bit/s.
      {24000000, 921600, 923077, false},
      {24000000, 2500000, 2400000, true},
      // Rounding the divisor both ways.
      {115200, 7000, 7200, true},   // 16.46 -> 16: 2.9% fast
      {115200, 6900, 6776, false},  // 16.70 -> 17
      {115200, 2, 2, false},
      {115200, 1, 2, true},  // the divisor latch holds 16 bits: 65535 at most
  };
  for (const auto& c : cases) {
    EXPECT_EQ(divisor_rate(c.baud_base, c.asked), c.made) << c.baud_base << "/" << c.asked;
    EXPECT_EQ(rate_too_far(c.asked, c.made), c.too_far) << c.baud_base << "/" << c.asked;
  }
}

TEST(DivisorRate, SetserialsAliasFor38400IsTheRateTheUartRuns) {
  const struct {
    SpeedAlias alias;
    std::uint32_t asked;
    std::uint32_t custom_divisor;
    std::uint32_t made;
  } cases[] = {
      {SpeedAlias::kNone, 38400, 0, 38400},
      {SpeedAlias::kHi, 38400, 0, 57600},
      {SpeedAlias::kVhi, 38400, 0, 115200},
      {SpeedAlias::kShi, 38400, 0, 115200},  // beyond the clock: divisor 1
      {SpeedAlias::kWarp, 38400, 0, 115200},
      {SpeedAlias::kCustom, 38400, 12, 9600},
      {SpeedAlias::kCustom, 38400, 3, 38400},  // a divisor that happens to make it
      {SpeedAlias::kCustom, 38400, 0, 0},      // nothing to tell
      {SpeedAlias::kHi, 9600, 0, 9600},        // only 38400 is aliased
      {SpeedAlias::kCustom, 19200, 12, 19200},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(uart_rate(115200, c.asked, c.alias, c.custom_divisor), c.made)
        << static_cast<int>(c.alias) << "/" << c.asked << "/" << c.custom_divisor;
  }
  EXPECT_TRUE(rate_too_far(38400, uart_rate(115200, 38400, SpeedAlias::kHi, 0)));
  EXPECT_TRUE(rate_too_far(38400, uart_rate(115200, 38400, SpeedAlias::kCustom, 0)));
}

TEST(DivisorRate, FtdisWholeDivisorAndEighths) {
  const struct {
    std::uint32_t baud_base;
    std::uint32_t asked;
    std::uint32_t made;
    bool too_far;
  } cases[] = {
      {24000000, 9600, 9600, false},
      {24000000, 115200, 115385, false},  // 26 whole: what the chip really makes
      {24000000, 57600, 57554, false},    // 52 1/8
      {24000000, 184, 184, false},        // nearly the 14 bits' worth
      {24000000, 183, 315789, true},      // past 14 bits: wraps round to a tiny divisor
      {24000000, 75, 415, true},
      {24000000, 3000000, 3000000, false},
      {24000000, 2000000, 2000000, false},
      {24000000, 2500000, 2400000, true},  // nothing between 1 1/4 and 1 1/8
      {24000000, 5000000, 3000000, true},  // nothing above the divided clock
      {60000000, 921600, 923077, false},   // an H chip: 12 MHz from 1200 bit/s up
      {60000000, 12000000, 12000000, false},
      {60000000, 300, 300, false},  // 3 MHz below 1200 bit/s
      {48000000, 9600, 0, false},   // a clock of no FTDI chip
  };
  for (const auto& c : cases) {
    const std::uint32_t made = ftdi_rate(c.baud_base, c.asked);
    EXPECT_EQ(made, c.made) << c.baud_base << "/" << c.asked;
    if (made != 0) {
      EXPECT_EQ(rate_too_far(c.asked, made), c.too_far) << c.baud_base << "/" << c.asked;
    }
  }
}

}  // namespace
