#include "setup/field_formats.h"

bool read_decimal_field(const char*& cursor, char separator, std::uint32_t& value_out) {
  if (*cursor == '\0') {
    return true;
  }
  std::uint32_t value = 0;
  for (; *cursor != separator && *cursor != '\0'; ++cursor) {
    if (*cursor < '0' || *cursor > '9') {
      return true;
    }
    // Worked out in 64 bits: a field past 4294967295 fails rather than wrapping to a smaller
    // number that might pass.
    const std::uint64_t next =
        std::uint64_t{value} * 10U + static_cast<std::uint64_t>(*cursor - '0');
    if (next > UINT32_MAX) {
      return true;
    }
    value = static_cast<std::uint32_t>(next);
  }
  value_out = value;
  return false;
}

namespace {

// Reads a field into `field` (stored before the range check, as the parsers document) and checks
// it against `limit`.
bool read_bounded(const char*& cursor, char separator, std::uint32_t& field, std::uint32_t limit) {
  if (read_decimal_field(cursor, separator, field)) {
    return true;
  }
  return field > limit;
}

bool step_over(const char*& cursor, char separator) {
  if (*cursor != separator) {
    return true;
  }
  ++cursor;
  return false;
}

}  // namespace

bool parse_time(const char* text) {
  const char* cursor = text;
  // A unit clock loaded with hour 24 is corrupt, so hours stop at 23.
  return read_bounded(cursor, ':', g_setup.hour, 23) || step_over(cursor, ':') ||
         read_bounded(cursor, ':', g_setup.minute, 59) || step_over(cursor, ':') ||
         read_bounded(cursor, ':', g_setup.second, 59) || *cursor != '\0';
}

bool parse_date(const char* text) {
  const char* cursor = text;
  if (read_bounded(cursor, '\\', g_setup.day, 31) || step_over(cursor, '\\') ||
      read_bounded(cursor, '\\', g_setup.month, 12) || step_over(cursor, '\\')) {
    return true;
  }
  std::uint32_t year = 0;
  if (read_decimal_field(cursor, '\\', year)) {
    return true;
  }
  if (year >= 2000 && year <= 2255) {
    year -= 2000;
  }
  g_setup.year = year;
  return year > 255 || *cursor != '\0';
}

bool parse_output_params(const char* text, OutputParams& params) {
  const char* cursor = text;
  params.wait_time = 0;
  if (read_bounded(cursor, ',', params.minimum, 255) || step_over(cursor, ',') ||
      read_bounded(cursor, ',', params.maximum, 255) || step_over(cursor, ',') ||
      read_bounded(cursor, ',', params.pulse_len, 255)) {
    return true;
  }
  if (*cursor == ',') {
    ++cursor;
    if (read_bounded(cursor, ',', params.wait_time, 255)) {
      return true;
    }
  }
  return *cursor != '\0';
}
