// The dialogue's two editors driven by scripted keys: what is stored and what the screen shows.
#include "setup/line_editors.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_seams.h"
#include "setup/key_input.h"

namespace {

// Keys are written as strings, a key a character: Backspace '\b', Enter '\r', ESC '\x1b', and
// these two of 256 and more, a cursor and a function key. Without Enter or ESC the input ends,
// which the editors take as ESC.
constexpr char16_t kUp = 224 + 72 * 256;
constexpr char16_t kF1 = 0 + 59 * 256;

void type(const std::u16string& keys) {
  fake::set_keys(std::vector<int>(keys.begin(), keys.end()));
}

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
    type(c.keys);
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
    type(c.keys);
    std::array<char, 50> buffer;
    buffer.fill('#');
    testing::internal::CaptureStdout();
    const bool aborted = read_text_field(buffer.data(), c.size, c.fallback);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.screen);
    EXPECT_EQ(aborted, c.keys.back() != '\r');
    EXPECT_EQ(std::string(buffer.data()), c.stored);
  }
}

}  // namespace
