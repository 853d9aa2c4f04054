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
// hanging). The clock starts shortly before the tick count wraps, so that the waits cross it.
struct Script {
  std::u16string keys;  // a key a character (see the editors' tests)
  std::uint32_t keys_from = 0;
  Bursts bursts = {};
  std::uint32_t flood = 0;
};

constexpr std::uint32_t kStart = 4294967000U;
Script g_script;
std::size_t g_key = 0;  // the next key, the next burst and the next byte in it
std::size_t g_burst = 0;
std::size_t g_byte = 0;
std::uint32_t g_now = 0;

void play(Script script) {
  g_script = std::move(script);
  g_key = g_burst = g_byte = 0;
  g_now = kStart;
}

// Virtual ms since the script began.
std::uint32_t elapsed() {
  return g_now - kStart;
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
    g_now = kStart + until;
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
// these two of 256 and more, a cursor and a function key.
constexpr char16_t kUp = 224 + 72 * 256;
constexpr char16_t kF1 = 0 + 59 * 256;

// The number field holds 5 before and offers 777; the text field is 50 bytes unless told and
// offers COM1 unless told. What the screen shows of the number is what is stored.
TEST(LineEditors, StoreWhatTheScreenShows) {
  const std::string full(49, 'p');
  const struct {
    bool number;
    std::u16string keys;
    std::string stored;
    std::string screen;
    std::size_t size = 50;
    const char* fallback = "COM1";
  } cases[] = {
      {true, u"5\b\r", "777", "5\b \b\n"},  // erased to nothing gives the default
      {true, u"0\b\r", "0", "\n"},          // backspace after a lone zero keeps 0
      {true, u"4294967295\r", "4294967295", "4294967295\n"},
      // A digit past 4294967295 is dropped, not wrapped (to 705032704), and Backspace erases the
      // one before.
      {true, u"5000000000\b\r", "50000000", "500000000\b \b\n"},
      {true, u"9\x1b", "5", "9\n"},  // escape leaves the number alone
      {false, u"\r", "COM1", "\n"},
      {false, u"\bA\r", "A", "A\n"},  // backspace on nothing does nothing
      {false, std::u16string(49, 'p') + u"qr\r", full, full + "\n"},  // the 50th is ignored
      {false, {1, 31, kUp, kF1, 'Z', '\r'}, "Z", "Z\n"},  // control and extended keys are ignored
      {false, u"\xE9\r", "\xE9", "\xE9\n"},               // bytes above 127 are characters
      {false, u"\r", "/dev", "\n", 5, "/dev/ttyUSB0"},    // a default too long is cut, still ended
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.screen);
    play({c.keys});
    std::uint32_t target = 5;
    std::array<char, 50> buffer;
    buffer.fill('#');
    testing::internal::CaptureStdout();
    const bool aborted = c.number ? read_number_field(target, 777)
                                  : read_text_field(buffer.data(), c.size, c.fallback);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.screen);
    EXPECT_EQ(aborted, c.keys.back() != '\r');
    EXPECT_EQ(c.number ? std::to_string(target) : std::string(buffer.data()), c.stored);
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
      {"junk between the bytes", {{5, "xx7:y0\r\n"}}, false},
      {"another value", {{5, "7:10\r"}}, true},
      {"a broken match starts again where it can", {{5, "111:1\r"}}, false, "11:1\r"},
      {"another line's late echo", {{5, "13:0\r"}}, true, "1:0\r"},
      {"last byte just in time", {{5, "7:0"}, {1000, "\r"}}, false},
      {"last byte too late", {{5, "7:0"}, {1002, "\r"}}, true},
      {"missing carriage return", {{5, "7:0"}}, true},
      {"junk that never stops", {}, true, "7:0\r", 100000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    play({u"", 0, c.arrivals, c.flood});
    EXPECT_EQ(await_echo(3, c.line, 1000), c.fails);
    EXPECT_TRUE(!c.fails || (elapsed() > 1000U && elapsed() < 1100U)) << elapsed();
  }
}

// A unit that echoes at the line's speed, 75 bit/s: the attempt's bytes (CR, the line, CR)
// leave a character time (133.3 ms) apart from the moment they are written, and each comes
// back once it is fully received and sent again, two character times after it started. The
// attempt alone outlasts a second, yet the first one is acknowledged.
TEST(ExchangeStep, AUnitEchoingAtTheSlowestSpeedIsAcknowledgedAtTheFirstAttempt) {
  g_setup.baud_rate = 75;
  g_setup.line_time_ms = 0;
  Bursts echo;
  for (std::uint32_t i = 0; i < 6; ++i) {
    echo.emplace_back((3 + i) * 134, std::string(1, "958:1\r"[i]));
  }
  play({u"\x1b", 2500, echo});  // the ESC ends the test should the first attempt fail
  PortHandle port = 3;
  testing::internal::CaptureStdout();
  EXPECT_EQ(exchange_step(port, "unlock: ", "958:1\r"), StepEnd::kDone);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "unlock: Done\n");
  g_setup = SetupRecord{};
}

}  // namespace
