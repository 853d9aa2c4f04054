// The echo match and the exchange, against a scripted unit on a virtual clock.
#include "link/exchange/device_exchange.h"

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

TEST(AwaitEcho, UnbrokenRunOfLineBytesWithinTheBudget) {
  const struct {
    const char* name;
    Arrivals arrivals;
    bool fails;
    const char* line = "7:0\r";
  } cases[] = {
      {"plain echo", at(5, "7:0\r"), false},
      {"junk between the bytes", at(5, "xx7:y0\r\n"), false},
      {"another value", at(5, "7:10\r"), true},
      {"another value", at(5, "70:0\r"), true},
      {"another value", at(5, "7:00\r"), true},
      {"a broken match starts again where it can", at(5, "111:1\r"), false, "11:1\r"},
      {"another line's late echo", at(5, "13:0\r"), true, "1:0\r"},
      {"a clock printing its time", at(5, "09:58:01\r\n09:58:02\r\n"), true, "958:1\r"},
      {"last byte just in time", at(5, "7:0") + at(1000, "\r"), false},
      {"last byte too late", at(5, "7:0") + at(1002, "\r"), true},
      {"nothing", {}, true},
      {"missing carriage return", at(5, "7:0"), true},
      {"wrong order", at(5, "0:7\r"), true},
  };
  for (const auto& c : cases) {
    fake::reset_clock(4294967000U);  // the tick count wraps during the wait
    fake::set_arrivals(c.arrivals);
    EXPECT_EQ(await_echo(3, c.line, 1000), c.fails) << c.name;
    if (c.fails) {
      EXPECT_GT(fake::elapsed(), 1000U) << c.name;  // the whole budget, not less
      EXPECT_LT(fake::elapsed(), 1100U) << c.name;
    }
  }
}

TEST(AwaitEcho, ALineThatNeverGoesQuietStillEndsOnTime) {
  fake::reset_clock(0);
  fake::set_arrivals({});
  fake::set_flood(100000);  // far more than a second's worth
  EXPECT_TRUE(await_echo(3, "7:0\r", 1000));
  EXPECT_GT(fake::elapsed(), 1000U);
  EXPECT_LT(fake::elapsed(), 1010U);
  fake::set_flood(0);
}

// A unit that echoes at line speed: the attempt's bytes (CR, the line, CR) leave one character
// time apart from the moment they are written, and each comes back once it is fully received
// and sent again, two character times after it started.
Arrivals echo_at_line_speed(const std::string& line, std::uint32_t baud) {
  Arrivals out;
  const std::uint32_t char_ms = (10000U + baud - 1U) / baud;
  std::uint32_t at = 3 * char_ms;  // behind the lone CR
  for (const char c : line) {
    out.emplace_back(at, static_cast<std::uint8_t>(c));
    at += char_ms;
  }
  return out;
}

TEST(ExchangeStep, AUnitEchoingAtLineSpeedIsAcknowledgedAtTheFirstAttempt) {
  for (const std::uint32_t baud : {75U, 110U, 300U, 9600U}) {
    SCOPED_TRACE(baud);
    g_setup.baud_rate = baud;
    g_setup.char_time_ms = 0;
    g_setup.line_time_ms = 0;
    fake::reset_clock(0);
    fake::set_keys({kKeyEsc}, 2500);  // ends the test should the first attempt fail
    fake::set_arrivals(echo_at_line_speed("958:1\r", baud));
    PortHandle port = 3;
    testing::internal::CaptureStdout();
    EXPECT_EQ(exchange_step(port, "unlock: ", "958:1\r"), StepEnd::kDone);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "unlock: Done\n");
  }
  g_setup = SetupRecord{};
}

}  // namespace
