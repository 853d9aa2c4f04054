// The parts that read the keyboard and the port, on scripted stand-ins for both and a virtual
// clock, so that they run deterministically and without waiting: the dialogue's two editors
// (what is stored and what the screen shows), the echo match and the exchange.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver/setup_record.h"
#include "link/clock/clock.h"
#include "link/exchange/device_exchange.h"
#include "link/port/serial_link.h"
#include "setup/key_input.h"
#include "setup/line_editors.h"

namespace {

using Bursts = std::vector<std::pair<std::uint32_t, std::string>>;

// What the stand-ins play. The keys are read in order once the virtual clock has passed
// keys_from (ms); when they run out, the input has ended. The unit's bytes arrive in bursts,
// each at its time, after `flood` junk bytes that every read finds, each a millisecond after the
// last (a unit that never goes quiet; a bound, so that a wait that never ends fails instead of
// hanging). The clock starts at `start`, so that a test can make it wrap.
struct Script {
  std::u16string keys;  // a key a character (see the editors' tests)
  std::uint32_t keys_from = 0;
  Bursts bursts;
  std::uint32_t flood = 0;
  std::uint32_t start = 0;
};

Script g_script;
std::size_t g_key = 0;  // the next key, the next burst and the next byte in it
std::size_t g_burst = 0;
std::size_t g_byte = 0;
std::uint32_t g_now = 0;

void play(std::u16string keys, std::uint32_t keys_from = 0, Bursts bursts = {},
          std::uint32_t flood = 0, std::uint32_t start = 0) {
  g_script = Script{std::move(keys), keys_from, std::move(bursts), flood, start};
  g_key = g_burst = g_byte = 0;
  g_now = start;
}

// Virtual ms since the script began.
std::uint32_t elapsed() {
  return g_now - g_script.start;
}

}  // namespace

bool key_waiting() {
  return g_key < g_script.keys.size() && elapsed() >= g_script.keys_from;
}
int read_key() {
  return g_script.keys[g_key++];
}
bool wait_for_key() {
  return key_waiting();
}

PortFit ready_port_for_attempt(PortHandle& port) {
  return port == kInvalidPort ? PortFit::kMissing : PortFit::kReady;
}
void write_byte(PortHandle, std::uint32_t pause, std::uint8_t) {
  pause_ms(pause);
}
bool read_byte(PortHandle, std::uint8_t& byte_out) {
  if (g_script.flood > 0) {
    --g_script.flood;
    ++g_now;
    byte_out = '#';
    return false;
  }
  if (g_burst == g_script.bursts.size() || g_script.bursts[g_burst].first > elapsed()) {
    return true;
  }
  const std::string& burst = g_script.bursts[g_burst].second;
  byte_out = static_cast<std::uint8_t>(burst[g_byte++]);
  if (g_byte == burst.size()) {
    ++g_burst;
    g_byte = 0;
  }
  return false;
}
void wait_for_byte(PortHandle, std::uint32_t timeout_ms) {
  std::uint32_t until = elapsed() + timeout_ms;
  if (g_burst < g_script.bursts.size() && g_script.bursts[g_burst].first < until) {
    until = g_script.bursts[g_burst].first;
  }
  if (until > elapsed()) {
    g_now = g_script.start + until;
  }
}
std::uint32_t tick_ms() {
  return g_now;
}
void sleep_ms(std::uint32_t ms) {
  g_now += ms;
}

namespace {

// Keys are written as strings, a key a character: Backspace '\b', Enter '\r', ESC '\x1b', and
// these two of 256 and more, a cursor and a function key. Without Enter or ESC the input ends,
// which the editors take as ESC.
constexpr char16_t kUp = 224 + 72 * 256;
constexpr char16_t kF1 = 0 + 59 * 256;

// The number field holds 5 before, and offers 777.
TEST(ReadNumberField, StoresWhatTheScreenShows) {
  const struct {
    std::u16string keys;
    std::uint32_t stored;
    const char* screen;
  } cases[] = {
      {u"\r", 777, "\n"},
      {u"42\r", 42, "42\n"},
      {u"0\r", 0, "\n"},            // zero alone is 0, though nothing shows
      {u"007\r", 7, "7\n"},         // leading zeros are not shown
      {u"5\b\r", 777, "5\b \b\n"},  // erased to nothing gives the default
      {u"12\b3\r", 13, "12\b \b3\n"},
      {u"0\b\r", 0, "\n"},  // backspace after a lone zero keeps 0
      {u"4294967295\r", 4294967295U, "4294967295\n"},
      // A digit past 4294967295 is dropped, not wrapped: 5000000000 would wrap to 705032704.
      {u"5000000000\r", 500000000, "500000000\n"},
      {u"4294967296\b\r", 42949672, "429496729\b \b\n"},
      {{kUp, '4', kF1, 'x', ' ', '\r'}, 4, "4\n"},  // cursor and function keys change nothing
      {u"9\x1b", 5, "9\n"},                         // escape leaves the field alone
      {u"9", 5, "9\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.screen);
    play(c.keys);
    std::uint32_t target = 5;
    testing::internal::CaptureStdout();
    const bool aborted = read_number_field(target, 777);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.screen);
    EXPECT_EQ(aborted, c.keys.back() != '\r');
    EXPECT_EQ(target, c.stored);
  }
}

// The text field is 50 bytes unless told, and offers COM1 unless told.
TEST(ReadTextField, EditsAndDefaults) {
  const std::string full(49, 'p');
  const struct {
    std::u16string keys;
    std::string stored;
    std::string screen;
    std::size_t size = 50;
    const char* fallback = "COM1";
  } cases[] = {
      {u"\r", "COM1", "\n"},
      {u"COM12\b\b3\r", "COM3", "COM12\b \b\b \b3\n"},
      {u"\bA\r", "A", "A\n"},                                  // backspace on nothing does nothing
      {std::u16string(49, 'p') + u"qr\r", full, full + "\n"},  // the 50th is ignored
      {{1, 31, kUp, kF1, 'Z', '\r'}, "Z", "Z\n"},  // control and extended keys are ignored
      {u"\xE9\r", "\xE9", "\xE9\n"},               // bytes above 127 are characters
      {u"ab\x1b", "ab", "ab\n"},                   // escape keeps what was typed
      {u"a", "a", "a\n"},
      {u"\r", "/dev", "\n", 5, "/dev/ttyUSB0"},  // a default too long is cut, still ended
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.screen);
    play(c.keys);
    std::array<char, 50> buffer;
    buffer.fill('#');
    testing::internal::CaptureStdout();
    const bool aborted = read_text_field(buffer.data(), c.size, c.fallback);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.screen);
    EXPECT_EQ(aborted, c.keys.back() != '\r');
    EXPECT_EQ(std::string(buffer.data()), c.stored);
  }
}

// A failed wait takes the whole budget, not less, and not much more even when the unit never
// goes quiet; the tick count wraps during the wait.
TEST(AwaitEcho, UnbrokenRunOfLineBytesWithinTheBudget) {
  const struct {
    const char* name;
    Bursts arrivals;
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
    play(u"", 0, c.arrivals, c.flood, 4294967000U);
    EXPECT_EQ(await_echo(3, c.line, 1000), c.fails);
    EXPECT_TRUE(!c.fails || (elapsed() > 1000U && elapsed() < 1100U)) << elapsed();
  }
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
    Bursts echo;
    for (std::uint32_t i = 0; i < 6; ++i) {
      echo.emplace_back((3 + i) * char_ms, std::string(1, "958:1\r"[i]));
    }
    play(u"\x1b", 2500, echo);  // the ESC ends the test should the first attempt fail
    PortHandle port = 3;
    testing::internal::CaptureStdout();
    EXPECT_EQ(exchange_step(port, "unlock: ", "958:1\r"), StepEnd::kDone);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "unlock: Done\n");
  }
  g_setup = SetupRecord{};
}

}  // namespace
