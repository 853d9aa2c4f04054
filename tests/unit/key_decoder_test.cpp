// What the terminal sends, turned into the keys the editors and the exchange act on.
#include "setup/key_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "setup/key_input.h"

namespace {

constexpr int ext(int prefix, int code) {
  return prefix + code * 256;
}
constexpr int CR = kKeyEnter, ESC = kKeyEsc, UNKNOWN = kKeyUnknown, kUp = ext(224, 72);

// Feeds bytes as one burst, a byte handed back fed once more, then a pause; returns the keys.
std::vector<int> decode(const std::string& bytes) {
  KeyDecoder decoder;
  std::vector<int> keys;
  bool again = false;
  for (std::size_t i = 0; i < bytes.size(); i += again ? 0 : 1) {
    keys.push_back(feed_key_byte(decoder, static_cast<std::uint8_t>(bytes[i]), again));
  }
  keys.push_back(finish_key(decoder));
  keys.erase(std::remove(keys.begin(), keys.end(), kKeyPending), keys.end());
  return keys;
}

// CR LF is one Enter, from a file written on Windows. A sequence cut short by the pause is ESC;
// one cut short by a byte that cannot be part of it keeps that byte. ESC and a key behind it:
// the ESC counts. Ctrl+Right is still Right. A byte 224 from a terminal is a character, not a
// prefix.
TEST(KeyDecoder, SequencesBecomeOneKey) {
  const struct {
    std::vector<int> keys;
    std::vector<std::string> sequences;
  } cases[] = {
      {{CR}, {"\r", "\n", "\r\n"}},
      {{CR, CR}, {"\r\r", "\n\n"}},
      {{kKeyBackspace}, {"\x7f", "\b"}},
      {{ESC}, {"\x1b", "\x1b[", "\x1bO", "\x1b[1;"}},
      {{ESC, ESC}, {"\x1b\x1b"}},
      {{kUp}, {"\x1b[A", "\x1bOA"}},
      {{ext(224, 80)}, {"\x1b[B"}},
      {{ext(224, 77)}, {"\x1b[C", "\x1b[1;5C"}},
      {{ext(224, 75)}, {"\x1b[D"}},
      {{ext(224, 71)}, {"\x1b[H", "\x1b[1~"}},
      {{ext(224, 79)}, {"\x1b[F"}},
      {{ext(224, 82)}, {"\x1b[2~"}},
      {{ext(224, 83)}, {"\x1b[3~"}},
      {{ext(224, 73)}, {"\x1b[5~"}},
      {{ext(224, 81)}, {"\x1b[6~"}},
      {{ext(0, 59)}, {"\x1bOP", "\x1b[[A"}},  // the second: the Linux console's F1
      {{ext(0, 63)}, {"\x1b[15~", "\x1b[[E"}},
      {{ext(224, 134)}, {"\x1b[24~"}},
      {{UNKNOWN}, {"\x1b[200~", "\x1b[9999999999~"}},
      {{UNKNOWN, CR}, {"\x1b[[\r", "\x1bO\r", "\x1b[\r"}},
      {{kUp, 'x'}, {"\x1b[Ax"}},
      {{ESC, 'x'}, {"\x1bx"}},
      {{224, 'H'}, {"\xe0H"}},
  };
  for (const auto& c : cases) {
    for (const std::string& bytes : c.sequences) {
      EXPECT_EQ(decode(bytes), c.keys) << testing::PrintToString(bytes);
    }
  }
}

}  // namespace
