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

constexpr int BS = kKeyBackspace;
constexpr int CR = kKeyEnter;
constexpr int ESC = kKeyEsc;
constexpr int kUp = 224 + 72 * 256;
constexpr int kF1 = 0 + 59 * 256;

std::vector<int> keys_of(const std::string& text) {
  return std::vector<int>(text.begin(), text.end());
}

std::vector<int> operator+(std::vector<int> a, const std::vector<int>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct NumberCase {
  const char* name;
  std::vector<int> keys;
  bool aborts;
  std::uint32_t stored;  // 777 default; target starts at 5
  std::string screen;
};

TEST(ReadNumberField, StoresWhatTheScreenShows) {
  const NumberCase cases[] = {
      {"enter at once gives the default", {CR}, false, 777, "\n"},
      {"digits", keys_of("42") + std::vector<int>{CR}, false, 42, "42\n"},
      {"zero alone is 0, though nothing shows", keys_of("0") + std::vector<int>{CR}, false, 0,
       "\n"},
      {"leading zeros are not shown", keys_of("007") + std::vector<int>{CR}, false, 7, "7\n"},
      {"erased to nothing gives the default", {'5', BS, CR}, false, 777, "5\b \b\n"},
      {"erase and retype", {'1', '2', BS, '3', CR}, false, 13, "12\b \b3\n"},
      {"backspace after a lone zero keeps 0", {'0', BS, CR}, false, 0, "\n"},
      {"largest value", keys_of("4294967295") + std::vector<int>{CR}, false, 4294967295U,
       "4294967295\n"},
      // A digit past 4294967295 is dropped, not wrapped: 5000000000 would wrap to 705032704.
      {"overflowing digit dropped", keys_of("5000000000") + std::vector<int>{CR}, false, 500000000,
       "500000000\n"},
      {"overflow then erase", keys_of("4294967296") + std::vector<int>{BS, CR}, false, 42949672,
       "429496729\b \b\n"},
      {"cursor and function keys change nothing", {kUp, '4', kF1, 'x', ' ', CR}, false, 4, "4\n"},
      {"escape leaves the field alone", {'9', ESC}, true, 5, "9\n"},
      {"end of input is escape", {'9'}, true, 5, "9\n"},
  };
  for (const NumberCase& c : cases) {
    fake::set_keys(c.keys);
    std::uint32_t target = 5;
    testing::internal::CaptureStdout();
    const bool aborted = read_number_field(target, 777);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.screen) << c.name;
    EXPECT_EQ(aborted, c.aborts) << c.name;
    EXPECT_EQ(target, c.stored) << c.name;
  }
}

struct TextCase {
  const char* name;
  std::vector<int> keys;
  bool aborts;
  std::string stored;
  std::string screen;
  std::size_t size = 50;
  const char* fallback = "COM1";
};

TEST(ReadTextField, EditsAndDefaults) {
  const std::string full(49, 'p');
  const TextCase cases[] = {
      {"enter at once gives the default", {CR}, false, "COM1", "\n"},
      {"typed", keys_of("COM12") + std::vector<int>{BS, BS, '3', CR}, false, "COM3",
       "COM12\b \b\b \b3\n"},
      {"backspace on nothing does nothing", {BS, 'A', CR}, false, "A", "A\n"},
      {"49 characters fit, the 50th is ignored", keys_of(full + "qr") + std::vector<int>{CR}, false,
       full, full + "\n"},
      {"control and extended keys are ignored", {1, 31, kUp, kF1, 'Z', CR}, false, "Z", "Z\n"},
      {"bytes above 127 are characters", {0xE9, CR}, false, "\xE9", "\xE9\n"},
      {"escape keeps what was typed", {'a', 'b', ESC}, true, "ab", "ab\n"},
      {"end of input is escape", {'a'}, true, "a", "a\n"},
      {"a default too long is cut, still ended", {CR}, false, "/dev", "\n", 5, "/dev/ttyUSB0"},
  };
  for (const TextCase& c : cases) {
    fake::set_keys(c.keys);
    std::array<char, 50> buffer;
    buffer.fill('#');
    testing::internal::CaptureStdout();
    const bool aborted = read_text_field(buffer.data(), c.size, c.fallback);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.screen) << c.name;
    EXPECT_EQ(aborted, c.aborts) << c.name;
    EXPECT_EQ(std::string(buffer.data()), c.stored) << c.name;
  }
}

}  // namespace
