// Turns the bytes a terminal sends into key values: Enter, Backspace and ESC as the editors know
// them, and each escape sequence (cursor and function keys) into one value of 256 or more,
// folded as the Windows console reports the same key.
#pragma once

#include <cstdint>

constexpr int kKeyPending = -1;   // the bytes so far start a key that is not complete yet
constexpr int kKeyUnknown = 256;  // a sequence with no console equivalent

struct KeyDecoder {
  std::uint8_t state = 0;
  std::uint8_t number = 0;  // first numeric parameter of a CSI sequence, saturated
  bool first_param_done = false;
  bool last_was_cr = false;  // so CR LF from a file or a pipe is one Enter
};

// Feeds one byte. Returns a key value, or kKeyPending when more bytes are needed. When `again`
// comes back true the byte did not belong to the returned key and must be fed once more.
// A byte that yields nothing (the LF of CR LF) returns kKeyPending with the decoder idle.
int feed_key_byte(KeyDecoder& decoder, std::uint8_t byte, bool& again);

// No further byte came in time: ends what is pending. A lone ESC, or a sequence cut short, is ESC.
int finish_key(KeyDecoder& decoder);

// True when the decoder is inside an escape sequence.
bool key_sequence_open(const KeyDecoder& decoder);
