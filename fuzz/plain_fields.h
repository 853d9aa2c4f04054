// What the field parsers store from a text, written out again in the plain form they read: the
// fuzz target's round trip, and what the unit tests compare.
#pragma once

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/reason.h"
#include "driver/setup_record.h"
#include "fuzz_check.h"
#include "setup/field_formats.h"

// The fields the parser for format (t, d or o: the -1 and -2 texts) stores from text, in range
// (checked), as "H:M:S", "D\M\YYYY" or "MIN,MAX,TTT,WWW"; "" when it refuses the text, which
// leaves one reason line (checked).
inline std::string plain_fields(char format, const char* text) {
  g_setup = SetupRecord{};
  clear_reason();
  const SetupRecord& s = g_setup;
  OutputParams o{9, 9, 9, 9};
  std::array<char, 64> plain{};
  if (format == 't' && !parse_time(text)) {
    FUZZ_CHECK(s.hour <= 23 && s.minute <= 59 && s.second <= 59);
    std::snprintf(plain.data(), plain.size(), "%u:%u:%u", s.hour, s.minute, s.second);
  } else if (format == 'd' && !parse_date(text)) {
    FUZZ_CHECK(s.day <= 31 && s.month <= 12 && s.year <= 255);
    std::snprintf(plain.data(), plain.size(), "%u\\%u\\%u", s.day, s.month, s.year + 2000);
  } else if (format == 'o' && !parse_output_params(text, o)) {
    FUZZ_CHECK(o.minimum <= 255 && o.maximum <= 255 && o.pulse_len <= 255 && o.wait_time <= 255);
    std::snprintf(plain.data(), plain.size(), "%u,%u,%u,%u", o.minimum, o.maximum, o.pulse_len,
                  o.wait_time);
  } else {
    FUZZ_CHECK(setup_reason()[0] != '\0' && std::strchr(setup_reason(), '\n') == nullptr);
  }
  return plain.data();
}
