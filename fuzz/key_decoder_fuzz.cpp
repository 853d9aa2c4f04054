// Fuzzes the terminal key decoder the way the keyboard reader drives it: bytes fed one by one,
// a byte handed back with `again` fed once more, and finish_key where input pauses. The pauses
// fall where the input says, so every escape sequence gets cut at every byte.
//
// Input: byte 0 is the pause pattern (bit i % 8 set: a pause after stream byte i), byte 1 picks
// a known key sequence fed whole at the end, the rest is the byte stream.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "setup/key_decoder.h"
#include "setup/key_input.h"

namespace {

struct KnownKey {
  const char* bytes;
  const char* name;  // for the message when the key is misread
};

// Sequences terminals send for cursor, editing and function keys, each one key of 256 or more:
// xterm and its kin, modifiers included, and the Linux console (ESC [[A is its F1).
constexpr std::array<KnownKey, 42> kKnownKeys{{
    {"\x1b[A", "ESC [A"},         {"\x1b[B", "ESC [B"},       {"\x1b[C", "ESC [C"},
    {"\x1b[D", "ESC [D"},         {"\x1b[H", "ESC [H"},       {"\x1b[F", "ESC [F"},
    {"\x1bOA", "ESC OA"},         {"\x1bOB", "ESC OB"},       {"\x1bOC", "ESC OC"},
    {"\x1bOD", "ESC OD"},         {"\x1bOH", "ESC OH"},       {"\x1bOF", "ESC OF"},
    {"\x1bOP", "ESC OP"},         {"\x1bOQ", "ESC OQ"},       {"\x1bOR", "ESC OR"},
    {"\x1bOS", "ESC OS"},         {"\x1b[1~", "ESC [1~"},     {"\x1b[2~", "ESC [2~"},
    {"\x1b[3~", "ESC [3~"},       {"\x1b[4~", "ESC [4~"},     {"\x1b[5~", "ESC [5~"},
    {"\x1b[6~", "ESC [6~"},       {"\x1b[7~", "ESC [7~"},     {"\x1b[8~", "ESC [8~"},
    {"\x1b[11~", "ESC [11~"},     {"\x1b[12~", "ESC [12~"},   {"\x1b[13~", "ESC [13~"},
    {"\x1b[14~", "ESC [14~"},     {"\x1b[15~", "ESC [15~"},   {"\x1b[17~", "ESC [17~"},
    {"\x1b[18~", "ESC [18~"},     {"\x1b[19~", "ESC [19~"},   {"\x1b[20~", "ESC [20~"},
    {"\x1b[21~", "ESC [21~"},     {"\x1b[23~", "ESC [23~"},   {"\x1b[24~", "ESC [24~"},
    {"\x1b[1;5A", "ESC [1;5A"},   {"\x1b[1;2D", "ESC [1;2D"}, {"\x1b[3;5~", "ESC [3;5~"},
    {"\x1b[15;2~", "ESC [15;2~"}, {"\x1b[[A", "ESC [[A"},     {"\x1b[200~", "ESC [200~"},
}};

bool valid_key(int key) {
  return key == kKeyPending || (key >= 0 && key <= 255) || key >= 256;
}

// One key value as the decoder may give it for a byte outside any sequence.
int plain_value(std::uint8_t byte, bool after_cr) {
  if (byte == '\n') {
    return after_cr ? kKeyPending : kKeyEnter;
  }
  if (byte == '\r') {
    return kKeyEnter;
  }
  if (byte == 127) {
    return kKeyBackspace;
  }
  return byte;
}

// Feeds one byte as the keyboard reader does, with the byte fed again when the decoder hands it
// back. Returns the keys it produced (at most two) in keys, their number in count.
void feed(KeyDecoder& decoder, std::uint8_t byte, std::array<int, 2>& keys, int& count) {
  count = 0;
  const bool was_open = key_sequence_open(decoder);
  const bool after_cr = decoder.last_was_cr;
  bool again = false;
  const int key = feed_key_byte(decoder, byte, again);
  FUZZ_CHECK(valid_key(key));
  if (!was_open && byte != kKeyEsc) {
    FUZZ_CHECK(!again && key == plain_value(byte, after_cr));
    FUZZ_CHECK(!key_sequence_open(decoder));
  }
  if (key != kKeyPending) {
    keys[count++] = key;
  }
  if (!again) {
    return;
  }
  // Handed back: the decoder ended a sequence on a byte that was not its own.
  FUZZ_CHECK(was_open);
  FUZZ_CHECK(key == kKeyEsc || key == kKeyUnknown);
  FUZZ_CHECK(!key_sequence_open(decoder));
  const int second = feed_key_byte(decoder, byte, again);
  FUZZ_CHECK(!again);  // a byte is handed back at most once: the reader never loops
  FUZZ_CHECK(valid_key(second));
  if (second != kKeyPending) {
    keys[count++] = second;
  }
}

// The input paused: whatever is pending ends as ESC, and the decoder is idle after.
void pause_input(KeyDecoder& decoder) {
  const bool was_open = key_sequence_open(decoder);
  const int key = finish_key(decoder);
  FUZZ_CHECK(key == (was_open ? kKeyEsc : kKeyPending));
  FUZZ_CHECK(!key_sequence_open(decoder));
}

// A known sequence fed whole from an idle decoder gives exactly one key of 256 or more, on its
// last byte, and leaves the decoder idle.
void check_whole(KeyDecoder& decoder, const char* sequence) {
  const std::size_t length = std::strlen(sequence);
  std::array<int, 2> keys{};
  int count = 0;
  for (std::size_t i = 0; i < length; ++i) {
    feed(decoder, static_cast<std::uint8_t>(sequence[i]), keys, count);
    if (i + 1 < length) {
      FUZZ_CHECK(count == 0);
      FUZZ_CHECK(key_sequence_open(decoder));
    }
  }
  FUZZ_CHECK(count == 1 && keys[0] >= 256);
  FUZZ_CHECK(!key_sequence_open(decoder));
}

// Every known sequence, whole and cut after each of its bytes.
void check_all_known_keys() {
  for (const KnownKey& known : kKnownKeys) {
    g_fuzz_context = known.name;
    KeyDecoder decoder;
    check_whole(decoder, known.bytes);
    const std::size_t length = std::strlen(known.bytes);
    for (std::size_t cut = 1; cut < length; ++cut) {
      KeyDecoder cut_decoder;
      std::array<int, 2> keys{};
      int count = 0;
      for (std::size_t i = 0; i < cut; ++i) {
        feed(cut_decoder, static_cast<std::uint8_t>(known.bytes[i]), keys, count);
        FUZZ_CHECK(count == 0);
      }
      pause_input(cut_decoder);
      check_whole(cut_decoder, known.bytes);
    }
  }
  g_fuzz_context = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  check_all_known_keys();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  const std::uint8_t pauses = data[0];
  const KnownKey& known = kKnownKeys[data[1] % kKnownKeys.size()];
  KeyDecoder decoder;
  std::array<int, 2> keys{};
  int count = 0;
  for (std::size_t i = 2; i < size; ++i) {
    const std::uint8_t byte = data[i];
    const bool was_open = key_sequence_open(decoder);
    feed(decoder, byte, keys, count);
    // A keystroke that cannot belong to an escape sequence (a control byte, DEL, a byte of 128
    // or more) ends a cut sequence and still counts as the key it is.
    if (was_open && (byte < 0x20 || byte >= 0x7F)) {
      if (byte == kKeyEsc) {
        FUZZ_CHECK(count == 1 && key_sequence_open(decoder));  // the new ESC starts its own key
      } else {
        FUZZ_CHECK(count == 2);
      }
    }
    if (((pauses >> ((i - 2) % 8)) & 1U) != 0) {
      pause_input(decoder);
    }
  }
  pause_input(decoder);
  g_fuzz_context = known.name;
  check_whole(decoder, known.bytes);
  g_fuzz_context = nullptr;
  return 0;
}
