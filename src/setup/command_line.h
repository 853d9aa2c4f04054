// Command-line mode: the option scan, the turning of option texts into fields, and the usage.
#pragma once

#include <cstdint>
#include <ctime>

// Scans argv from index 1 and stores what the options say in g_setup. Returns true on failure,
// having printed the usage once and left what was wrong in setup_reason().
bool parse_options(int argc, char** argv);

// Turns the stored option texts into clock and output fields, taking the local time and the
// output defaults for what was not given. Returns true on failure, with what was wrong in
// setup_reason() ("-t 25:00:00: hour 25 is outside 0-23"); prints nothing.
bool resolve_setup();

// As resolve_setup, with `now` as the local time.
bool resolve_setup_at(const std::tm& now);

// Prints the usage line with program_name, then the help text.
void print_usage(const char* program_name);

// The standard library's unsigned decimal conversion, as the numeric options use it: leading
// blanks, an optional sign ('-' negates modulo 2^32), stops at the first non-digit, saturates.
std::uint32_t convert_unsigned(const char* text);
