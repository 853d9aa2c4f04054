// The small text formats of the -t, -d, -1 and -2 arguments: unsigned decimal fields joined by
// one separator character. Every routine returns true on failure; the parsers then leave what was
// wrong in setup_reason() ("hour 25 is outside 0-23"), without the option it came with.
#pragma once

#include <cstdint>

#include "driver/setup_record.h"

// Reads one field at cursor, up to `separator` or the end of the text, and leaves cursor on the
// character where reading stopped. Fails on an empty rest of text, a non-digit or 32-bit overflow;
// value_out is written only on success. An empty field before a separator reads as 0.
bool read_decimal_field(const char*& cursor, char separator, std::uint32_t& value_out);

// "HH:MM:SS", hour 0-23, minute and second 0-59, into g_setup.
bool parse_time(const char* text);

// "DD\MM\YYY", day 0-31, month 0-12, year 0-255 or 2000-2255 (2000 taken off), into g_setup.
bool parse_date(const char* text);

// "MIN,MAX,TTT[,WWW]", each 0-255; wait_time is 0 when the fourth field is absent.
bool parse_output_params(const char* text, OutputParams& params);
