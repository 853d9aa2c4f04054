#include "setup/line_editors.h"

#include <cstdio>

#include "setup/key_input.h"

namespace {

bool g_input_ended = false;

// Blocks until a key comes; the end of the input reads as ESC.
int next_key() {
  if (!wait_for_key()) {
    g_input_ended = true;
    return kKeyEsc;
  }
  g_input_ended = false;
  return read_key();
}

void erase_last() {
  std::fputs("\b \b", stdout);
  std::fflush(stdout);
}

void echo(int key) {
  std::putchar(key);
  std::fflush(stdout);
}

void end_line() {
  std::putchar('\n');
  std::fflush(stdout);
}

// The next key for a field. ESC (the end of the input too) and Enter end the field, so they end
// its line on screen first.
int next_field_key() {
  const int key = next_key();
  if (key == kKeyEsc || key == kKeyEnter) {
    end_line();
  }
  return key;
}

// Bounded copy, the rest of the buffer cleared; the last byte always stays NUL.
void take_default(char* buffer, std::size_t size, const char* default_text) {
  std::size_t i = 0;
  for (; i + 1 < size && default_text[i] != '\0'; ++i) {
    buffer[i] = default_text[i];
  }
  for (; i < size; ++i) {
    buffer[i] = '\0';
  }
}

}  // namespace

bool read_text_field(char* buffer, std::size_t size, const char* default_text) {
  std::size_t count = 0;
  buffer[0] = '\0';
  for (;;) {
    const int key = next_field_key();
    if (key == kKeyEsc) {
      return true;
    }
    if (key == kKeyEnter) {
      if (count == 0) {
        take_default(buffer, size, default_text);
      }
      return false;
    }
    if (key == kKeyBackspace) {
      if (count > 0) {
        buffer[--count] = '\0';
        erase_last();
      }
    } else if (key >= 32 && key <= 255 && count + 1 < size) {
      buffer[count++] = static_cast<char>(key);
      buffer[count] = '\0';
      echo(key);
    }
  }
}

bool read_number_field(std::uint32_t& target, std::uint32_t default_value) {
  std::uint32_t value = 0;
  std::uint8_t count = 0;
  bool digit_typed = false;
  for (;;) {
    const int key = next_field_key();
    if (key == kKeyEsc) {
      return true;
    }
    if (key == kKeyEnter) {
      target = digit_typed ? value : default_value;
      return false;
    }
    if (key == kKeyBackspace) {
      if (count > 0) {
        --count;
        value /= 10;
        if (count == 0) {
          digit_typed = false;
        }
        erase_last();
      }
    } else if (key >= '0' && key <= '9') {
      digit_typed = true;
      // Worked out in 64 bits: a digit that would not fit is dropped, so what the screen shows
      // is what is stored. Leading zeros leave the value as it is and are not shown.
      const std::uint64_t next = std::uint64_t{value} * 10U + static_cast<std::uint64_t>(key - '0');
      if (next > value && next <= UINT32_MAX) {
        value = static_cast<std::uint32_t>(next);
        ++count;
        echo(key);
      }
    }
  }
}

bool input_ended() {
  return g_input_ended;
}
