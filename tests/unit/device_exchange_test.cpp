// The echo match and the exchange, against a scripted unit on a virtual clock.
#include "link/exchange/device_exchange.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "driver/setup_record.h"
#include "fake_seams.h"
#include "setup/key_input.h"

namespace {

// A failed wait takes the whole budget, not less, and not much more even when the unit never
// goes quiet; the tick count wraps during the wait.
TEST(AwaitEcho, UnbrokenRunOfLineBytesWithinTheBudget) {
  const struct {
    const char* name;
    fake::Bursts arrivals;
    bool fails;
    const char* line = "7:0\r";
    std::uint32_t flood = 0;  // junk bytes a millisecond apart before anything else
  } cases[] = {
      {"plain echo", {{5, "7:0\r"}}, false},
      {"junk between the bytes", {{5, "xx7:y0\r\n"}}, false},
      {"another value", {{5, "7:10\r"}}, true},
      {"another value", {{5, "70:0\r"}}, true},
      {"another value", {{5, "7:00\r"}}, true},
      {"a broken match starts again where it can", {{5, "111:1\r"}}, false, "11:1\r"},
      {"another line's late echo", {{5, "13:0\r"}}, true, "1:0\r"},
      {"a clock printing its time", {{5, "09:58:01\r\n09:58:02\r\n"}}, true, "958:1\r"},
      {"last byte just in time", {{5, "7:0"}, {1000, "\r"}}, false},
      {"last byte too late", {{5, "7:0"}, {1002, "\r"}}, true},
      {"nothing", {}, true},
      {"missing carriage return", {{5, "7:0"}}, true},
      {"wrong order", {{5, "0:7\r"}}, true},
      {"junk that never stops", {}, true, "7:0\r", 100000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset_clock(4294967000U);
    fake::set_arrivals(c.arrivals);
    fake::set_flood(c.flood);
    EXPECT_EQ(await_echo(3, c.line, 1000), c.fails);
    EXPECT_TRUE(!c.fails || (fake::elapsed() > 1000U && fake::elapsed() < 1100U))
        << fake::elapsed();
  }
  fake::set_flood(0);
}

// A unit that echoes at line speed: the attempt's bytes (CR, the line, CR) leave one character
// time apart from the moment they are written, and each comes back once it is fully received
// and sent again, two character times after it started. Even at 75 bit/s, where the attempt
// alone outlasts a second, the first attempt is acknowledged.
TEST(ExchangeStep, AUnitEchoingAtLineSpeedIsAcknowledgedAtTheFirstAttempt) {
  for (const std::uint32_t baud : {75U, 110U, 300U, 9600U}) {
    SCOPED_TRACE(baud);
    g_setup.baud_rate = baud;
    g_setup.char_time_ms = 0;
    g_setup.line_time_ms = 0;
    const std::uint32_t char_ms = (10000U + baud - 1U) / baud;
    fake::Bursts echo;
    for (std::uint32_t i = 0; i < 6; ++i) {
      echo.emplace_back((3 + i) * char_ms, std::string(1, "958:1\r"[i]));
    }
    fake::reset_clock(0);
    fake::set_keys({kKeyEsc}, 2500);  // ends the test should the first attempt fail
    fake::set_arrivals(echo);
    PortHandle port = 3;
    testing::internal::CaptureStdout();
    EXPECT_EQ(exchange_step(port, "unlock: ", "958:1\r"), StepEnd::kDone);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "unlock: Done\n");
  }
  g_setup = SetupRecord{};
}

}  // namespace
