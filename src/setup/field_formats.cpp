#include "setup/field_formats.h"

#include <array>

#include "common/reason.h"

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

// One field of a format, as a reason names it.
struct Field {
  const char* name;   // "hour", "maximum"
  const char* range;  // what the field takes, as the check applies it: "0-23"
};

// The field's digits as typed, up to its separator, shortened for a reason line.
std::array<char, 48> field_text(const char* start, char separator) {
  std::size_t length = 0;
  while (start[length] != separator && start[length] != '\0') {
    ++length;
  }
  std::array<char, 48> shown{};
  show_text(shown.data(), shown.size(), start, length, 12);
  return shown;
}

// A field that could not be read: nothing there, a stray character, or too many digits.
void explain_unread(const char* start, const char* stop, char separator, const Field& field,
                    const char* shape) {
  if (*stop >= '0' && *stop <= '9') {
    set_reason("%s %s is outside %s", field.name, field_text(start, separator).data(), field.range);
  } else if (*stop == '\0') {
    set_reason("%s", shape);
  } else {
    std::array<char, 16> shown{};
    show_text(shown.data(), shown.size(), stop, 1, 4);
    set_reason("'%s' is not a digit; %s", shown.data(), shape);
  }
}

// Reads a field into `field` (stored before the range check, as the parsers document) and checks
// it against `limit`.
bool read_bounded(const char*& cursor, char separator, std::uint32_t& value, std::uint32_t limit,
                  const Field& field, const char* shape) {
  const char* const start = cursor;
  if (read_decimal_field(cursor, separator, value)) {
    explain_unread(start, cursor, separator, field, shape);
    return true;
  }
  if (value > limit) {
    set_reason("%s %s is outside %s", field.name, field_text(start, separator).data(), field.range);
    return true;
  }
  return false;
}

bool step_over(const char*& cursor, char separator, const char* shape) {
  if (*cursor != separator) {
    set_reason("%s", shape);
    return true;
  }
  ++cursor;
  return false;
}

bool nothing_after(const char* cursor, const char* shape) {
  if (*cursor != '\0') {
    set_reason("%s", shape);
    return true;
  }
  return false;
}

constexpr char kTimeShape[] = "the time is HH:MM:SS";
constexpr char kDateShape[] = "the date is DD\\MM\\YYYY";
constexpr char kOutputShape[] = "the values are MIN,MAX,TTT or MIN,MAX,TTT,WWW";

// A Unix shell takes the backslashes out of an unquoted 7\12\2009, which arrives as 7122009.
void explain_date_shape(const char* text) {
  int backslashes = 0;
  bool only_digits = true;
  for (const char* p = text; *p != '\0'; ++p) {
    backslashes += *p == '\\' ? 1 : 0;
    only_digits = only_digits && *p >= '0' && *p <= '9';
  }
  if (backslashes >= 2) {
    return;
  }
  if (only_digits && *text != '\0') {
    set_reason(
        "the date needs two backslashes, DD\\MM\\YYYY; in a Unix shell quote it: "
        "-d '7\\12\\2009'");
  } else {
    set_reason("the date needs two backslashes, DD\\MM\\YYYY");
  }
}

}  // namespace

bool parse_time(const char* text) {
  const char* cursor = text;
  // A unit clock loaded with hour 24 is corrupt, so hours stop at 23.
  return read_bounded(cursor, ':', g_setup.hour, 23, {"hour", "0-23"}, kTimeShape) ||
         step_over(cursor, ':', kTimeShape) ||
         read_bounded(cursor, ':', g_setup.minute, 59, {"minute", "0-59"}, kTimeShape) ||
         step_over(cursor, ':', kTimeShape) ||
         read_bounded(cursor, ':', g_setup.second, 59, {"second", "0-59"}, kTimeShape) ||
         nothing_after(cursor, kTimeShape);
}

bool parse_date(const char* text) {
  const char* cursor = text;
  if (read_bounded(cursor, '\\', g_setup.day, 31, {"day", "0-31"}, kDateShape) ||
      step_over(cursor, '\\', kDateShape) ||
      read_bounded(cursor, '\\', g_setup.month, 12, {"month", "0-12"}, kDateShape) ||
      step_over(cursor, '\\', kDateShape)) {
    explain_date_shape(text);
    return true;
  }
  constexpr Field kYear{"year", "2000-2255 and 0-255 (years since 2000)"};
  const char* const year_start = cursor;
  std::uint32_t year = 0;
  if (read_decimal_field(cursor, '\\', year)) {
    explain_unread(year_start, cursor, '\\', kYear, kDateShape);
    return true;
  }
  if (year >= 2000 && year <= 2255) {
    year -= 2000;
  }
  g_setup.year = year;
  if (year > 255) {
    set_reason("year %s is outside %s", field_text(year_start, '\\').data(), kYear.range);
    return true;
  }
  return nothing_after(cursor, kDateShape);
}

bool parse_output_params(const char* text, OutputParams& params) {
  const char* cursor = text;
  params.wait_time = 0;
  constexpr char kRange[] = "0-255";
  if (read_bounded(cursor, ',', params.minimum, 255, {"minimum", kRange}, kOutputShape) ||
      step_over(cursor, ',', kOutputShape) ||
      read_bounded(cursor, ',', params.maximum, 255, {"maximum", kRange}, kOutputShape) ||
      step_over(cursor, ',', kOutputShape) ||
      read_bounded(cursor, ',', params.pulse_len, 255, {"pulse length", kRange}, kOutputShape)) {
    return true;
  }
  if (*cursor == ',') {
    ++cursor;
    if (read_bounded(cursor, ',', params.wait_time, 255, {"wait time", kRange}, kOutputShape)) {
      return true;
    }
  }
  return nothing_after(cursor, kOutputShape);
}
