// The -t, -d, -1 and -2 texts: what is accepted, what each field ends up as, what is refused.
#include "setup/field_formats.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "driver/setup_record.h"

namespace {

struct TimeCase {
  const char* text;
  bool fails;
  std::array<std::uint32_t, 3> hms;
};

TEST(ParseTime, AcceptsAndRefuses) {
  const TimeCase cases[] = {
      {"12:30:00", false, {12, 30, 0}},
      {"23:59:59", false, {23, 59, 59}},
      {"0:0:0", false, {0, 0, 0}},
      {":5:6", false, {0, 5, 6}},  // an empty field before a separator is 0
      {"::5", false, {0, 0, 5}},
      {"00012:0:0", false, {12, 0, 0}},
      {"24:00:00", true, {}},  // a unit loaded with hour 24 is corrupt
      {"25:00:00", true, {}},
      {"12:60:00", true, {}},
      {"12:30:60", true, {}},
      {"12:30", true, {}},
      {"12:30:00x", true, {}},
      {"12:30:00:", true, {}},
      {":30:", true, {}},  // the last field needs a digit
      {"", true, {}},
      {"4294967296:0:0", true, {}},  // 32-bit overflow
      {"4294967295:0:0", true, {}},
      {"1a:00:00", true, {}},
      {"+1:00:00", true, {}},
      {" 1:00:00", true, {}},
  };
  for (const TimeCase& c : cases) {
    g_setup = SetupRecord{};
    EXPECT_EQ(parse_time(c.text), c.fails) << c.text;
    if (!c.fails) {
      EXPECT_EQ((std::array<std::uint32_t, 3>{g_setup.hour, g_setup.minute, g_setup.second}), c.hms)
          << c.text;
    }
  }
}

struct DateCase {
  const char* text;
  bool fails;
  std::array<std::uint32_t, 3> dmy;
};

TEST(ParseDate, TakesFullYearsAndYearsSince2000) {
  const DateCase cases[] = {
      {"7\\12\\2009", false, {7, 12, 9}},
      {"7\\12\\9", false, {7, 12, 9}},
      {"0\\0\\0", false, {0, 0, 0}},  // day and month 0 are taken as they are
      {"31\\12\\255", false, {31, 12, 255}},
      {"1\\1\\2255", false, {1, 1, 255}},
      {"1\\1\\2000", false, {1, 1, 0}},
      {"\\\\5", false, {0, 0, 5}},
      {"7\\12\\2256", true, {}},
      {"7\\12\\256", true, {}},
      {"7\\12\\1999", true, {}},
      {"32\\1\\9", true, {}},
      {"1\\13\\9", true, {}},
      {"7/12/2009", true, {}},
      {"7\\12\\2009\\", true, {}},
      {"7\\12", true, {}},
      {"7\\12\\", true, {}},
  };
  for (const DateCase& c : cases) {
    g_setup = SetupRecord{};
    EXPECT_EQ(parse_date(c.text), c.fails) << c.text;
    if (!c.fails) {
      EXPECT_EQ((std::array<std::uint32_t, 3>{g_setup.day, g_setup.month, g_setup.year}), c.dmy)
          << c.text;
    }
  }
}

struct OutputCase {
  const char* text;
  bool fails;
  std::array<std::uint32_t, 4> values;  // minimum, maximum, pulse_len, wait_time
};

TEST(ParseOutputParams, ThreeOrFourFields) {
  const OutputCase cases[] = {
      {"10,50,20", false, {10, 50, 20, 0}},
      {"10,50,20,5", false, {10, 50, 20, 5}},
      {"1,2,,5", false, {1, 2, 0, 5}},
      {"255,255,255,255", false, {255, 255, 255, 255}},
      {",,0", false, {0, 0, 0, 0}},
      {"10,50,20,", true, {}},
      {"10,50", true, {}},
      {"10,256,20", true, {}},
      {"10,50,20,256", true, {}},
      {"10,50,20,5,", true, {}},
      {"10,50,20,5,1", true, {}},
      {"-1,50,20", true, {}},
      {"", true, {}},
  };
  for (const OutputCase& c : cases) {
    OutputParams params{9, 9, 9, 9};
    EXPECT_EQ(parse_output_params(c.text, params), c.fails) << c.text;
    if (!c.fails) {
      EXPECT_EQ((std::array<std::uint32_t, 4>{params.minimum, params.maximum, params.pulse_len,
                                              params.wait_time}),
                c.values)
          << c.text;
    }
  }
}

}  // namespace
