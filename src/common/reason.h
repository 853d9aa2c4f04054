// The reason line: why a run stopped, as one line for standard error, and the quoting of any
// outside text in such a line. Setup input keeps its reason here until the run reports it; the
// serial link quotes port names with show_text.
#pragma once

#include <cstddef>

// Room for one reason; a longer one is cut.
constexpr std::size_t kReasonSize = 320;

// Replaces the reason with printf-style text (no line end), cut to fit.
void set_reason(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The last reason set, "" when none.
const char* setup_reason();

// Forgets the reason.
void clear_reason();

// Copies at most `length` bytes of text (fewer when a NUL comes first) into out (size bytes,
// always terminated) for quoting in a reason: bytes outside printable ASCII become \xNN, so no
// argument or answer can drive the terminal, and what does not fit within `limit` shown
// characters ends in "...".
void show_text(char* out, std::size_t size, const char* text, std::size_t length,
               std::size_t limit);
