// The two console line editors of the dialogue. Both echo what they accept themselves, take
// Backspace, Enter (the default when nothing was typed) and ESC, and print "\n" when they end.
// The end of a piped input counts as ESC, so a scripted run never hangs.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads a text of at most size - 1 characters (key values 32 to 255) into buffer. Returns true
// on ESC; the buffer then keeps what was typed.
bool read_text_field(char* buffer, std::size_t size, const char* default_text);

// Reads an unsigned decimal number into target. Returns true on ESC; target is then untouched.
// A digit that would take the value past 4294967295 is neither echoed nor taken.
bool read_number_field(std::uint32_t& target, std::uint32_t default_value);

// True when the last editor that returned true did so because the input ended, not on ESC.
bool input_ended();
