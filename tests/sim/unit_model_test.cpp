// The unit model on its own: every command with its range, the lock, the clock stop, refused
// and over-long lines, and the exact text of the log lines.
#include "unit_model.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>

namespace {

LineBuffer line_of(const std::string& text) {
  LineBuffer line;
  for (const char c : text) {
    add_to_line(line, static_cast<std::uint8_t>(c));
  }
  return line;
}

std::string state_of(const UnitState& unit) {
  std::array<char, 200> text{};
  format_state(unit, text.data(), text.size());
  return text.data();
}

// Feeds one line; returns its log line.
std::string feed(UnitState& unit, const std::string& text) {
  const LineBuffer line = line_of(text);
  const LineResult result = execute_line(unit, line);
  std::array<char, 400> report{};
  format_line_report(line, result, unit, report.data(), report.size());
  return report.data();
}

UnitState unlocked() {
  UnitState unit;
  unit.locked = false;
  return unit;
}

TEST(UnitModel, EveryCommandTakesItsRangeAndRefusesBeyond) {
  using Register = std::function<std::uint32_t(const UnitState&)>;
  const struct {
    unsigned number, low, high;
    Register value;
  } commands[] = {
      {1, 0, 59, [](const UnitState& u) { return u.second; }},
      {2, 0, 59, [](const UnitState& u) { return u.minute; }},
      {3, 0, 23, [](const UnitState& u) { return u.hour; }},
      {4, 0, 255, [](const UnitState& u) { return u.year; }},
      {5, 1, 12, [](const UnitState& u) { return u.month; }},
      {6, 1, 31, [](const UnitState& u) { return u.day; }},  // 0 stops the clock: see below
      {7, 0, 255, [](const UnitState& u) { return u.out1[0]; }},
      {8, 0, 255, [](const UnitState& u) { return u.out1[1]; }},
      {9, 0, 255, [](const UnitState& u) { return u.out1[2]; }},
      {10, 0, 255, [](const UnitState& u) { return u.out2[0]; }},
      {11, 0, 255, [](const UnitState& u) { return u.out2[1]; }},
      {12, 0, 255, [](const UnitState& u) { return u.out2[2]; }},
      {13, 0, 255, [](const UnitState& u) { return u.out2[3]; }},
  };
  for (const auto& c : commands) {
    SCOPED_TRACE(c.number);
    std::uint32_t low = 99;
    std::uint32_t high = 0;
    ASSERT_FALSE(command_range(c.number, low, high));
    EXPECT_EQ(low, c.number == 6 ? 0u : c.low);
    EXPECT_EQ(high, c.high);
    const std::string prefix = std::to_string(c.number) + ":";
    for (const unsigned value : {c.low, (c.low + c.high) / 2, c.high}) {
      UnitState unit = unlocked();
      EXPECT_EQ(execute_line(unit, line_of(prefix + std::to_string(value))).verdict,
                Verdict::kApplied);
      EXPECT_EQ(c.value(unit), value);
    }
    UnitState unit = unlocked();
    const std::string before = state_of(unit);
    const LineResult above = execute_line(unit, line_of(prefix + std::to_string(c.high + 1)));
    EXPECT_EQ(above.verdict, Verdict::kRefused);
    EXPECT_STREQ(above.reason, "out of range");
    EXPECT_EQ(state_of(unit), before);
    if (c.number == 5) {
      EXPECT_STREQ(execute_line(unit, line_of("5:0")).reason, "out of range");
      EXPECT_EQ(state_of(unit), before);
    }
  }
  for (const unsigned unknown : {0u, 14u, 957u, 959u, 1000000u}) {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    EXPECT_TRUE(command_range(unknown, low, high)) << unknown;
    UnitState unit = unlocked();
    EXPECT_STREQ(execute_line(unit, line_of(std::to_string(unknown) + ":0")).reason,
                 "unknown command");
  }
}

TEST(UnitModel, LockUnlockAndLockedLinesIgnored) {
  UnitState unit;
  const std::string start = state_of(unit);
  EXPECT_EQ(start, "clock 00:00:00 date 1\\1\\2000 running locked out1 0,0,0 out2 0,0,0,0");
  // Locked: well-formed commands in range are ignored and change nothing.
  for (const char* line : {"1:5", "3:23", "5:12", "6:0", "6:9", "7:1", "13:255"}) {
    EXPECT_EQ(execute_line(unit, line_of(line)).verdict, Verdict::kIgnoredLocked) << line;
  }
  EXPECT_EQ(state_of(unit), start);
  // Refusals come before the lock: a bad line is refused whether locked or not.
  EXPECT_EQ(execute_line(unit, line_of("7:256")).verdict, Verdict::kRefused);
  EXPECT_EQ(execute_line(unit, line_of("958:2")).verdict, Verdict::kRefused);
  EXPECT_EQ(execute_line(unit, line_of("958:1")).verdict, Verdict::kApplied);
  EXPECT_FALSE(unit.locked);
  EXPECT_EQ(execute_line(unit, line_of("958:1")).verdict, Verdict::kApplied);  // again: no harm
  EXPECT_FALSE(unit.locked);
  EXPECT_EQ(execute_line(unit, line_of("7:1")).verdict, Verdict::kApplied);
  EXPECT_EQ(execute_line(unit, line_of("958:0")).verdict, Verdict::kApplied);
  EXPECT_TRUE(unit.locked);
  EXPECT_EQ(execute_line(unit, line_of("7:2")).verdict, Verdict::kIgnoredLocked);
  EXPECT_EQ(unit.out1[0], 1u);
}

TEST(UnitModel, DayZeroStopsTheClockAndARealDayRunsIt) {
  UnitState unit = unlocked();
  feed(unit, "6:15");
  EXPECT_EQ(feed(unit, "6:0"),
            "line \"6:0\" applied: clock 00:00:00 date 15\\1\\2000 stopped unlocked out1 0,0,0 "
            "out2 0,0,0,0");
  EXPECT_EQ(unit.day, 15u);  // the day stays as it was
  feed(unit, "3:12");
  EXPECT_FALSE(unit.running);  // loading the clock does not start it
  EXPECT_EQ(feed(unit, "6:7"),
            "line \"6:7\" applied: clock 12:00:00 date 7\\1\\2000 running unlocked out1 0,0,0 "
            "out2 0,0,0,0");
}

TEST(UnitModel, MalformedLinesAreRefusedAsNotNV) {
  for (const char* text : {":", "7:", ":5", "7", "07:1", "7:01", "00:1", "7:x", "x7:1", "7:1:2",
                           "-7:1", "7 :1", " 7:1", "7:+1", "7:1 ", "7;1", "\xff:1"}) {
    UnitState unit = unlocked();
    const LineResult result = execute_line(unit, line_of(text));
    EXPECT_EQ(result.verdict, Verdict::kRefused) << text;
    EXPECT_STREQ(result.reason, "not N:V") << text;
  }
  // Long digit runs saturate instead of wrapping round into range.
  UnitState unit = unlocked();
  EXPECT_STREQ(execute_line(unit, line_of("7:4294967296")).reason, "out of range");
  EXPECT_STREQ(execute_line(unit, line_of("4294967303:1")).reason, "unknown command");
}

TEST(UnitModel, LinesPastThirtyTwoBytesAreRefusedAsTooLong) {
  const std::string longest = "12:" + std::string(29, '9');  // 32 bytes: read, out of range
  ASSERT_EQ(longest.size(), kMaxLineBytes);
  UnitState unit = unlocked();
  LineBuffer line = line_of(longest);
  EXPECT_FALSE(line.overlong);
  EXPECT_STREQ(execute_line(unit, line).reason, "out of range");
  // One byte more, even one that would make it valid, and the line is too long; the log
  // shows its first 32 bytes.
  line = line_of("7:1" + std::string(29, ' ') + "x");
  EXPECT_TRUE(line.overlong);
  EXPECT_EQ(line.length, kMaxLineBytes);
  EXPECT_EQ(feed(unit, "7:1" + std::string(30, '0')),
            "line \"7:1" + std::string(29, '0') +
                "\" refused (too long): clock 00:00:00 date 1\\1\\2000 running unlocked out1 "
                "0,0,0 out2 0,0,0,0");
}

TEST(UnitModel, LogLinesAndStateLineExactly) {
  UnitState unit;
  const struct {
    std::string line;
    std::string report;
  } steps[] = {
      {"7:1",
       "line \"7:1\" ignored (locked): clock 00:00:00 date 1\\1\\2000 running locked out1 "
       "0,0,0 out2 0,0,0,0"},
      {"958:1",
       "line \"958:1\" applied: clock 00:00:00 date 1\\1\\2000 running unlocked out1 "
       "0,0,0 out2 0,0,0,0"},
      {"7:256",
       "line \"7:256\" refused (out of range): clock 00:00:00 date 1\\1\\2000 running "
       "unlocked out1 0,0,0 out2 0,0,0,0"},
      {"99:1",
       "line \"99:1\" refused (unknown command): clock 00:00:00 date 1\\1\\2000 running "
       "unlocked out1 0,0,0 out2 0,0,0,0"},
      {std::string("\x00\x1b\"\\\x7f\xff", 6),
       "line \"\\x00\\x1B\\x22\\x5C\\x7F\\xFF\" refused (not N:V): clock 00:00:00 date "
       "1\\1\\2000 running unlocked out1 0,0,0 out2 0,0,0,0"},
      {"1:9",
       "line \"1:9\" applied: clock 00:00:09 date 1\\1\\2000 running unlocked out1 0,0,0 "
       "out2 0,0,0,0"},
      {"2:59",
       "line \"2:59\" applied: clock 00:59:09 date 1\\1\\2000 running unlocked out1 "
       "0,0,0 out2 0,0,0,0"},
      {"3:23",
       "line \"3:23\" applied: clock 23:59:09 date 1\\1\\2000 running unlocked out1 "
       "0,0,0 out2 0,0,0,0"},
      {"4:255",
       "line \"4:255\" applied: clock 23:59:09 date 1\\1\\2255 running unlocked out1 "
       "0,0,0 out2 0,0,0,0"},
      {"5:12",
       "line \"5:12\" applied: clock 23:59:09 date 1\\12\\2255 running unlocked out1 "
       "0,0,0 out2 0,0,0,0"},
      {"9:3",
       "line \"9:3\" applied: clock 23:59:09 date 1\\12\\2255 running unlocked out1 "
       "0,0,3 out2 0,0,0,0"},
      {"13:5",
       "line \"13:5\" applied: clock 23:59:09 date 1\\12\\2255 running unlocked out1 "
       "0,0,3 out2 0,0,0,5"},
      {"958:0",
       "line \"958:0\" applied: clock 23:59:09 date 1\\12\\2255 running locked out1 "
       "0,0,3 out2 0,0,0,5"},
  };
  for (const auto& step : steps) {
    EXPECT_EQ(feed(unit, step.line), step.report);
  }
  LineBuffer dropped = line_of("8:1");
  std::array<char, 400> report{};
  format_line_report(dropped, {Verdict::kDropped, nullptr}, unit, report.data(), report.size());
  EXPECT_EQ(std::string(report.data()),
            "line \"8:1\" dropped: clock 23:59:09 date 1\\12\\2255 running locked out1 0,0,3 "
            "out2 0,0,0,5");
  format_final_report(unit, report.data(), report.size());
  EXPECT_EQ(std::string(report.data()),
            "final: clock 23:59:09 date 1\\12\\2255 running locked out1 0,0,3 out2 0,0,0,5");
}

}  // namespace
