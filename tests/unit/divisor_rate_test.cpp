// The rate a 16550-family UART or an FTDI chip really makes, and which rates are close enough to
// use.
#include "link/speed/divisor_rate.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// A PC serial port (1.8432 MHz / 16 = 115200): 12345 gets divisor 9, 3.7% fast; 110 gets 1047,
// 110.03; nothing lies between divisors 1 and 2 (80000); 57000 is 1.05% off, close enough; the
// divisor is rounded both ways (7000: 16.46 to 16, 2.9% fast; 6900: 16.70 to 17); and the latch
// holds 16 bits, 65535 at most (1 bit/s). A 24 MHz clock on the same divisor is fine up to
// about a million bit/s. FTDI's whole divisor and eighths: 115200 is 26 whole, what the chip
// really makes; 57600 is 52 1/8; 184 nearly fills the 14 bits and 183 wraps round past them to a
// tiny divisor; nothing lies between 1 1/4 and 1 1/8 (2500000) or above the divided clock; an H
// chip (60 MHz) divides 12 MHz from 1200 bit/s up and 3 MHz below; 48 MHz is no FTDI chip's.
TEST(DivisorRate, WhatTheChipMakesOfTheRateAsked) {
  enum Chip { U, F };  // a UART, an FTDI chip
  const struct {
    Chip chip;
    std::uint32_t baud_base, asked, made;
    bool too_far;
  } cases[] = {
      {U, 115200, 12345, 12800, true},
      {U, 115200, 110, 110, false},
      {U, 115200, 80000, 115200, true},
      {U, 115200, 57000, 57600, false},
      {U, 24000000, 921600, 923077, false},
      {U, 24000000, 2500000, 2400000, true},
      {U, 115200, 7000, 7200, true},
      {U, 115200, 6900, 6776, false},
      {U, 115200, 1, 2, true},
      {F, 24000000, 115200, 115385, false},
      {F, 24000000, 57600, 57554, false},
      {F, 24000000, 184, 184, false},
      {F, 24000000, 183, 315789, true},
      {F, 24000000, 2000000, 2000000, false},
      {F, 24000000, 2500000, 2400000, true},
      {F, 24000000, 5000000, 3000000, true},
      {F, 60000000, 12000000, 12000000, false},
      {F, 60000000, 300, 300, false},
      {F, 48000000, 9600, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.chip << " " << c.baud_base << "/" << c.asked);
    const std::uint32_t made =
        c.chip == U ? divisor_rate(c.baud_base, c.asked) : ftdi_rate(c.baud_base, c.asked);
    EXPECT_EQ(made, c.made);
    EXPECT_TRUE(made == 0 || rate_too_far(c.asked, made) == c.too_far);
  }
}

// setserial's aliases for 38400 on a PC serial port: spd_shi's 230400 is beyond the clock, so
// divisor 1; spd_cust without a divisor tells nothing; only 38400 is aliased.
TEST(DivisorRate, SetserialsAliasFor38400IsTheRateTheUartRuns) {
  const struct {
    SpeedAlias alias;
    std::uint32_t asked, custom_divisor, made;
  } cases[] = {
      {SpeedAlias::kNone, 38400, 0, 38400},  {SpeedAlias::kHi, 38400, 0, 57600},
      {SpeedAlias::kVhi, 38400, 0, 115200},  {SpeedAlias::kShi, 38400, 0, 115200},
      {SpeedAlias::kWarp, 38400, 0, 115200}, {SpeedAlias::kCustom, 38400, 12, 9600},
      {SpeedAlias::kCustom, 38400, 0, 0},    {SpeedAlias::kHi, 9600, 0, 9600},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(uart_rate(115200, c.asked, c.alias, c.custom_divisor), c.made)
        << static_cast<int>(c.alias) << "/" << c.asked << "/" << c.custom_divisor;
  }
}

}  // namespace
