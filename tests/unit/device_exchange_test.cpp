// The echo match and the exchange, against a scripted unit on a virtual clock.
#include "link/device_exchange.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fake_seams.h"

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

}  // namespace
