#include "common/reason.h"

#include <array>
#include <cstdarg>
#include <cstdio>

namespace {

std::array<char, kReasonSize> g_reason{};

}  // namespace

void set_reason(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_reason.data(), g_reason.size(), format, args);
  va_end(args);
}

const char* setup_reason() {
  return g_reason.data();
}

void clear_reason() {
  g_reason[0] = '\0';
}

void show_text(char* out, std::size_t size, const char* text, std::size_t length,
               std::size_t limit) {
  if (size == 0) {
    return;
  }
  constexpr char kMore[] = "...";
  std::size_t used = 0;
  std::size_t shown = 0;
  out[0] = '\0';
  for (std::size_t i = 0; i < length && text[i] != '\0'; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::array<char, 8> piece{};
    if (byte >= 0x20 && byte < 0x7f) {
      piece[0] = static_cast<char>(byte);
    } else {
      std::snprintf(piece.data(), piece.size(), "\\x%02x", static_cast<unsigned>(byte));
    }
    std::size_t piece_length = 0;
    while (piece[piece_length] != '\0') {
      ++piece_length;
    }
    // Keep room for the "..." that says the text goes on.
    if (shown + piece_length > limit || used + piece_length + sizeof kMore > size) {
      std::snprintf(out + used, size - used, "%s", kMore);
      return;
    }
    for (std::size_t k = 0; k < piece_length; ++k) {
      out[used++] = piece[k];
    }
    out[used] = '\0';
    shown += piece_length;
  }
}
