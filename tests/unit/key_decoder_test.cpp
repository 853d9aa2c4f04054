// What the terminal sends, turned into the keys the editors and the exchange act on.
#include "setup/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setup/key_input.h"

namespace {

constexpr int ext(int prefix, int code) {
  return prefix + code * 256;
}

// Feeds bytes as one burst and, when `gap` is set, reports a pause after it; returns the keys.
std::vector<int> decode(const std::string& bytes, bool gap = true) {
  KeyDecoder decoder;
  std::vector<int> keys;
  for (std::size_t i = 0; i < bytes.size();) {
    bool again = false;
    const int key = feed_key_byte(decoder, static_cast<std::uint8_t>(bytes[i]), again);
    if (!again) {
      ++i;
    }
    if (key != kKeyPending) {
      keys.push_back(key);
    }
  }
  if (gap) {
    const int key = finish_key(decoder);
    if (key != kKeyPending) {
      keys.push_back(key);
    }
  }
  return keys;
}

TEST(KeyDecoder, SequencesBecomeOneKey) {
  const struct {
    std::string bytes;
    std::vector<int> keys;
  } cases[] = {
      {"a", {'a'}},
      {"\r", {kKeyEnter}},
      {"\n", {kKeyEnter}},
      {"\r\n", {kKeyEnter}},  // one Enter from a file written on Windows
      {"\r\r", {kKeyEnter, kKeyEnter}},
      {"\n\n", {kKeyEnter, kKeyEnter}},
      {"\x7f", {kKeyBackspace}},
      {"\b", {kKeyBackspace}},
      {"\x1b", {kKeyEsc}},
      {"\x1b\x1b", {kKeyEsc, kKeyEsc}},
      {"\x1b[A", {ext(224, 72)}},
      {"\x1b[B", {ext(224, 80)}},
      {"\x1b[C", {ext(224, 77)}},
      {"\x1b[D", {ext(224, 75)}},
      {"\x1bOA", {ext(224, 72)}},
      {"\x1b[H", {ext(224, 71)}},
      {"\x1b[F", {ext(224, 79)}},
      {"\x1b[1~", {ext(224, 71)}},
      {"\x1b[2~", {ext(224, 82)}},
      {"\x1b[3~", {ext(224, 83)}},
      {"\x1b[5~", {ext(224, 73)}},
      {"\x1b[6~", {ext(224, 81)}},
      {"\x1b[1;5C", {ext(224, 77)}},  // Ctrl+Right is still Right
      {"\x1bOP", {ext(0, 59)}},
      {"\x1b[15~", {ext(0, 63)}},
      {"\x1b[24~", {ext(224, 134)}},
      {"\x1b[[A", {ext(0, 59)}},  // the Linux console's F1
      {"\x1b[[E", {ext(0, 63)}},
      {"\x1b[[\r", {kKeyUnknown, kKeyEnter}},
      {"\x1bO\x1b", {kKeyUnknown, kKeyEsc}},  // a key cut short keeps the byte behind it
      {"\x1bO\r", {kKeyUnknown, kKeyEnter}},
      {"\x1b[200~", {kKeyUnknown}},
      {"\x1b[9999999999~", {kKeyUnknown}},
      {"\x1b[Ax", {ext(224, 72), 'x'}},
      {"\x1bx", {kKeyEsc, 'x'}},  // ESC and a key behind it: the ESC counts
      {"\x1b\r", {kKeyEsc, kKeyEnter}},
      {"\x1b[\r", {kKeyUnknown, kKeyEnter}},
      {"\x1b[", {kKeyEsc}},  // cut short: taken as ESC
      {"\x1bO", {kKeyEsc}},
      {"\x1b[1;", {kKeyEsc}},
      {"\xe0H", {224, 'H'}},  // a byte 224 from a terminal is a character, not a prefix
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode(c.bytes), c.keys) << testing::PrintToString(c.bytes);
  }
}

}  // namespace
