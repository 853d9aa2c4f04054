// The reasons the option scan gives, and the looks at an argument they are made from. Only the
// command line's own sources include it.
#pragma once

#include <array>

// An argument as a reason quotes it: shortened, control bytes made visible, '' when empty.
std::array<char, 64> shown_argument(const char* arg);

// Whether arg looks like a path ("/dev/ttyUSB0", "/tmp/unit"), which a "/" prefix reads as an
// option when -c is left out.
bool looks_like_path(const char* arg);

// The option letter of "-x" or "/X", in lower case.
int letter_of(const char* option);

// A path option took `value` as its value, and what followed was refused.
void explain_path_value(const char* path, const char* value);

// `arg` stands where an option should. `previous` is the argument before it, and `owner` the
// option that took `previous` as its value (nullptr when `previous` was no option's value).
void explain_not_an_option(const char* arg, const char* previous, const char* owner);

// The option arg, whose letter is `letter`, ends the arguments without its value.
void explain_missing_value(const char* arg, int letter);

// arg names no option.
void explain_unknown_option(const char* arg);
