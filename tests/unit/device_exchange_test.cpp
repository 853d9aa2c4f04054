// The echo match and the exchange, against a scripted unit on a virtual clock.
#include "link/device_exchange.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver/setup_record.h"
#include "fake_seams.h"
#include "setup/key_input.h"

namespace {

using Arrivals = std::vector<std::pair<std::uint32_t, std::uint8_t>>;

Arrivals at(std::uint32_t ms, const std::string& bytes) {
  Arrivals out;
  for (const char c : bytes) {
    out.emplace_back(ms, static_cast<std::uint8_t>(c));
  }
  return out;
}

Arrivals operator+(Arrivals a, const Arrivals& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(AwaitEcho, SubsequenceWithinTheBudget) {
  const struct {
    const char* name;
    Arrivals arrivals;
    bool fails;
  } cases[] = {
      {"plain echo", at(5, "7:0\r"), false},
      {"junk between the bytes", at(5, "xx7:y0\r"), false},
      {"a mismatch never restarts the match", at(5, "7:1\r0\r"), false},
      {"last byte just in time", at(5, "7:0") + at(1000, "\r"), false},
      {"last byte too late", at(5, "7:0") + at(1002, "\r"), true},
      {"nothing", {}, true},
      {"missing carriage return", at(5, "7:0"), true},
      {"wrong order", at(5, "0:7\r"), true},
  };
  for (const auto& c : cases) {
    fake::reset_clock(4294967000U);  // the tick count wraps during the wait
    fake::set_arrivals(c.arrivals);
    EXPECT_EQ(await_echo(3, "7:0\r", 1000), c.fails) << c.name;
    if (c.fails) {
      EXPECT_GT(fake::elapsed(), 1000U) << c.name;  // the whole budget, not less
      EXPECT_LT(fake::elapsed(), 1100U) << c.name;
    }
  }
}

TEST(SendLine, PacesEachByteAndTheLine) {
  fake::reset_clock(0);
  send_line(3, 0, 0, "7:0\r");
  EXPECT_EQ(fake::written(), "7:0\r\r");
  EXPECT_EQ(fake::elapsed(), 0U);

  fake::reset_clock(0);
  send_line(3, 1, 50, "7:0\r");  // short pauses are raised to 20 ms and last more than that
  EXPECT_GE(fake::elapsed(), 5U * 21U + 51U);
  EXPECT_LT(fake::elapsed(), 5U * 21U + 51U + 10U);
}

std::string run_step(const Arrivals& arrivals, const std::vector<int>& keys, bool& aborted) {
  g_setup = SetupRecord{};
  g_setup.char_time_ms = 0;
  g_setup.line_time_ms = 0;
  fake::reset_clock(0);
  fake::set_arrivals(arrivals);
  fake::set_keys(keys);
  testing::internal::CaptureStdout();
  aborted = exchange_step(3, "L: ", "7:0\r");
  return testing::internal::GetCapturedStdout();
}

TEST(ExchangeStep, ResendsUntilEchoedAndStopsOnEsc) {
  bool aborted = false;
  EXPECT_EQ(run_step(at(30, "7:0\r"), {}, aborted), "L: Done\n");
  EXPECT_FALSE(aborted);
  EXPECT_EQ(fake::written(), "\r7:0\r\r");

  // Silent for the first attempt, echoed during the second.
  EXPECT_EQ(run_step(at(1500, "7:0\r"), {}, aborted), "L: Failed (press ESC to exit)\nL: Done\n");
  EXPECT_EQ(fake::written(), "\r7:0\r\r\r7:0\r\r");

  // Any other key is dropped; ESC ends the step after the line went out.
  EXPECT_EQ(run_step({}, {'x', kKeyEsc}, aborted),
            "L: Failed (press ESC to exit)\nL: User abort\n");
  EXPECT_TRUE(aborted);
  EXPECT_EQ(fake::written(), "\r7:0\r\r\r7:0\r\r");
}

TEST(ProgramDevice, SixteenLinesInOrderThenTheVerdict) {
  g_setup = SetupRecord{};
  g_setup.line_time_ms = 0;
  g_setup.output1 = {1, 2, 3, 4};
  g_setup.output2 = {10, 50, 20, 5};
  g_setup.hour = 12;
  g_setup.minute = 30;
  g_setup.second = 0;
  g_setup.day = 7;
  g_setup.month = 12;
  g_setup.year = 9;
  const char* lines[] = {"958:1", "6:0", "7:1",  "8:2",  "9:3", "10:10", "11:50", "12:20",
                         "13:5",  "1:0", "2:30", "3:12", "4:9", "5:12",  "6:7",   "958:0"};
  std::string wire;
  std::string echo;
  for (const char* line : lines) {
    wire += std::string("\r") + line + "\r\r";
    echo += std::string(line) + "\r";
  }
  fake::reset_clock(0);
  fake::set_arrivals(at(0, echo));  // echoes already waiting take part in the next match
  fake::set_keys({});
  testing::internal::CaptureStdout();
  program_device(3);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(fake::written(), wire);  // output 1's wait time is never sent
  EXPECT_EQ(out.rfind("All done without errors\n"), out.size() - 24);
}

}  // namespace
