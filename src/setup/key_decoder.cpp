#include "setup/key_decoder.h"

#include "setup/key_input.h"

namespace {

enum : std::uint8_t { kIdle, kAfterEsc, kCsi, kSs3, kConsoleFn };

// Windows console codes, prefix + code * 256.
constexpr int ext(int prefix, int code) {
  return prefix + code * 256;
}
constexpr int kUp = ext(224, 72), kDown = ext(224, 80), kRight = ext(224, 77), kLeft = ext(224, 75),
              kHome = ext(224, 71), kEnd = ext(224, 79), kPageUp = ext(224, 73),
              kPageDown = ext(224, 81), kInsert = ext(224, 82), kDelete = ext(224, 83);

// The final letter of "ESC [ A" or "ESC O A", and the SS3 function keys F1-F4.
int letter_key(std::uint8_t letter) {
  switch (letter) {
    case 'A':
      return kUp;
    case 'B':
      return kDown;
    case 'C':
      return kRight;
    case 'D':
      return kLeft;
    case 'H':
      return kHome;
    case 'F':
      return kEnd;
    case 'P':
      return ext(0, 59);
    case 'Q':
      return ext(0, 60);
    case 'R':
      return ext(0, 61);
    case 'S':
      return ext(0, 62);
    default:
      return kKeyUnknown;
  }
}

// "ESC [ n ~" keys.
int tilde_key(int number) {
  switch (number) {
    case 1:
    case 7:
      return kHome;
    case 2:
      return kInsert;
    case 3:
      return kDelete;
    case 4:
    case 8:
      return kEnd;
    case 5:
      return kPageUp;
    case 6:
      return kPageDown;
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
      return ext(0, 59 + number - 11);  // F1-F5
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
      return ext(0, 64 + number - 17);  // F6-F10
    case 23:
      return ext(224, 133);  // F11
    case 24:
      return ext(224, 134);  // F12
    default:
      return kKeyUnknown;
  }
}

int plain_key(KeyDecoder& decoder, std::uint8_t byte) {
  const bool after_cr = decoder.last_was_cr;
  decoder.last_was_cr = byte == '\r';
  if (byte == '\n' && after_cr) {
    return kKeyPending;
  }
  if (byte == '\r' || byte == '\n') {
    return kKeyEnter;
  }
  if (byte == 127) {
    return kKeyBackspace;  // terminals send DEL for the Backspace key
  }
  return byte;
}

int done(KeyDecoder& decoder, int key) {
  decoder.state = kIdle;
  decoder.number = 0;
  decoder.first_param_done = false;
  return key;
}

}  // namespace

int feed_key_byte(KeyDecoder& decoder, std::uint8_t byte, bool& again) {
  again = false;
  switch (decoder.state) {
    case kIdle:
      if (byte == kKeyEsc) {
        decoder.state = kAfterEsc;
        decoder.last_was_cr = false;
        return kKeyPending;
      }
      return plain_key(decoder, byte);
    case kAfterEsc:
      if (byte == '[') {
        decoder.state = kCsi;
        return kKeyPending;
      }
      if (byte == 'O') {
        decoder.state = kSs3;
        return kKeyPending;
      }
      // ESC followed by something else: the ESC stands alone, the byte starts the next key.
      again = true;
      return done(decoder, kKeyEsc);
    case kSs3:
      if (byte < 0x40 || byte > 0x7E) {
        again = true;  // not a key of this kind: the byte (ESC, Enter, ...) is kept
        return done(decoder, kKeyUnknown);
      }
      return done(decoder, letter_key(byte));
    case kConsoleFn:  // the Linux console's F1-F5: "ESC [ [ A" to "ESC [ [ E"
      if (byte >= 'A' && byte <= 'E') {
        return done(decoder, ext(0, 59 + (byte - 'A')));
      }
      if (byte < 0x40 || byte > 0x7E) {
        again = true;
      }
      return done(decoder, kKeyUnknown);
    default:  // kCsi: parameters and intermediates, then one final byte 0x40-0x7E
      if (byte >= '0' && byte <= '9') {
        if (!decoder.first_param_done) {
          const int next = decoder.number * 10 + (byte - '0');
          decoder.number = static_cast<std::uint8_t>(next > 255 ? 255 : next);
        }
        return kKeyPending;
      }
      if (byte >= 0x20 && byte <= 0x3F) {
        decoder.first_param_done = true;  // ';' and the like end the first parameter
        return kKeyPending;
      }
      if (byte == '[' && decoder.number == 0 && !decoder.first_param_done) {
        decoder.state = kConsoleFn;
        return kKeyPending;
      }
      if (byte >= 0x40 && byte <= 0x7E) {
        const int key = byte == '~' ? tilde_key(decoder.number) : letter_key(byte);
        return done(decoder, key);
      }
      // A control byte cannot be part of a sequence: drop the sequence, keep the byte.
      again = true;
      return done(decoder, kKeyUnknown);
  }
}

int finish_key(KeyDecoder& decoder) {
  if (decoder.state == kIdle) {
    return kKeyPending;
  }
  // A lone ESC, or a sequence that stopped halfway, is the operator's ESC: when in doubt, the
  // safe reading is the one that lets them give up.
  return done(decoder, kKeyEsc);
}

bool key_sequence_open(const KeyDecoder& decoder) {
  return decoder.state != kIdle;
}
