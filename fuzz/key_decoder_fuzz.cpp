// Fuzzes the terminal key decoder the way the keyboard reader drives it: bytes fed one by one,
// a byte handed back with `again` fed once more, finish_key where input pauses. Input: byte 0
// is the pause pattern (bit i % 8: a pause after stream byte i), byte 1 picks a known key fed
// whole at the end, the rest is the stream. Checked: every key is a key value, a byte comes
// back at most once, a pause leaves no sequence open, and the known key is still read as one.
#include <array>
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "setup/key_decoder.h"
#include "setup/key_input.h"

namespace {

// Cursor, editing and function keys of xterm and its kin and of the Linux console.
constexpr std::array<const char*, 10> kKnownKeys{"\x1b[A",   "\x1bOD",    "\x1bOP",  "\x1b[3~",
                                                 "\x1b[15~", "\x1b[1;5A", "\x1b[[A", "\x1b[200~",
                                                 "\x1b[H",   "\x1b[24~"};

// Feeds one byte; returns how many keys came of it.
int feed(KeyDecoder& decoder, std::uint8_t byte) {
  bool again = false;
  const int key = feed_key_byte(decoder, byte, again);
  FUZZ_CHECK(key >= kKeyPending &&
             (!again || ((key == kKeyEsc || key == kKeyUnknown) && !key_sequence_open(decoder))));
  const int second = again ? feed_key_byte(decoder, byte, again) : kKeyPending;
  FUZZ_CHECK(!again && second >= kKeyPending);  // handed back at most once: the reader never loops
  return (key != kKeyPending ? 1 : 0) + (second != kKeyPending ? 1 : 0);
}

void pause_input(KeyDecoder& decoder) {
  const bool was_open = key_sequence_open(decoder);
  FUZZ_CHECK(finish_key(decoder) == (was_open ? kKeyEsc : kKeyPending));
  FUZZ_CHECK(!key_sequence_open(decoder));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  KeyDecoder decoder;
  for (std::size_t i = 2; i < size; ++i) {
    feed(decoder, data[i]);
    if (((data[0] >> ((i - 2) % 8)) & 1U) != 0) {
      pause_input(decoder);
    }
  }
  pause_input(decoder);
  const char* known = kKnownKeys[data[1] % kKnownKeys.size()];
  int keys = 0;
  for (std::size_t i = 0; known[i] != '\0'; ++i) {
    keys += feed(decoder, static_cast<std::uint8_t>(known[i]));
    FUZZ_CHECK(keys == 0 || known[i + 1] == '\0');
  }
  FUZZ_CHECK(keys == 1 && !key_sequence_open(decoder));
  return 0;
}
