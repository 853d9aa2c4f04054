// Fuzzes the field reader and the three option formats with arbitrary text, against the ranges
// the parsers promise and a reference that reads the formats the other way round: split first,
// then check each field.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "driver/setup_record.h"
#include "fuzz_check.h"
#include "setup/field_formats.h"

namespace {

constexpr std::size_t kMaxText = 1024;
constexpr std::size_t kMaxFields = 8;
constexpr std::uint64_t kMaxU32 = 0xFFFFFFFFu;

// The reference: splits `text` at `separator` and reads every field as an exact decimal number.
// A field may be empty only when a separator follows it; any other character, or a value past
// 32 bits, fails. Returns true on failure, like the parsers.
bool split_fields(const char* text, char separator, std::array<std::uint32_t, kMaxFields>& values,
                  std::size_t& count) {
  count = 0;
  std::size_t at = 0;
  for (;;) {
    const std::size_t start = at;
    std::uint64_t value = 0;
    while (text[at] != '\0' && text[at] != separator) {
      if (text[at] < '0' || text[at] > '9') {
        return true;
      }
      value = value * 10U + static_cast<std::uint64_t>(text[at] - '0');
      if (value > kMaxU32) {
        return true;
      }
      ++at;
    }
    if (count == kMaxFields) {
      return true;
    }
    values[count++] = static_cast<std::uint32_t>(value);
    if (text[at] == '\0') {
      return at == start;  // the last field needs a digit
    }
    ++at;  // over the separator
  }
}

// read_decimal_field against its contract: where it stops, what it yields, what it leaves alone.
void check_field_reader(const char* text, char separator) {
  const char* cursor = text;
  constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;
  std::uint32_t value = kUntouched;
  const bool failed = read_decimal_field(cursor, separator, value);

  // Reference: where an exact reading stops, and whether it succeeds.
  std::size_t at = 0;
  std::uint64_t exact = 0;
  bool ref_failed = false;
  if (text[0] == '\0') {
    ref_failed = true;
  } else {
    while (text[at] != '\0' && text[at] != separator) {
      if (text[at] < '0' || text[at] > '9') {
        ref_failed = true;
        break;
      }
      exact = exact * 10U + static_cast<std::uint64_t>(text[at] - '0');
      if (exact > kMaxU32) {
        ref_failed = true;  // 32-bit overflow: the reader stops on this digit
        break;
      }
      ++at;
    }
  }
  FUZZ_CHECK(failed == ref_failed);
  FUZZ_CHECK(cursor == text + at);
  if (failed) {
    FUZZ_CHECK(value == kUntouched);
  } else {
    FUZZ_CHECK(value == exact);
    FUZZ_CHECK(*cursor == '\0' || *cursor == separator);
  }
}

void check_time(const char* text) {
  g_setup = SetupRecord{};
  const bool failed = parse_time(text);
  std::array<std::uint32_t, kMaxFields> v{};
  std::size_t n = 0;
  const bool ref_failed =
      split_fields(text, ':', v, n) || n != 3 || v[0] > 23 || v[1] > 59 || v[2] > 59;
  FUZZ_CHECK(failed == ref_failed);
  if (!failed) {
    FUZZ_CHECK(g_setup.hour <= 23 && g_setup.minute <= 59 && g_setup.second <= 59);
    FUZZ_CHECK(g_setup.hour == v[0] && g_setup.minute == v[1] && g_setup.second == v[2]);
  }
}

void check_date(const char* text) {
  g_setup = SetupRecord{};
  const bool failed = parse_date(text);
  std::array<std::uint32_t, kMaxFields> v{};
  std::size_t n = 0;
  bool ref_failed = split_fields(text, '\\', v, n) || n != 3 || v[0] > 31 || v[1] > 12;
  std::uint32_t year = v[2];
  if (year >= 2000 && year <= 2255) {
    year -= 2000;
  }
  ref_failed = ref_failed || year > 255;
  FUZZ_CHECK(failed == ref_failed);
  if (!failed) {
    FUZZ_CHECK(g_setup.day <= 31 && g_setup.month <= 12 && g_setup.year <= 255);
    FUZZ_CHECK(g_setup.day == v[0] && g_setup.month == v[1] && g_setup.year == year);
  }
}

void check_output_params(const char* text) {
  OutputParams params{7, 7, 7, 7};
  const bool failed = parse_output_params(text, params);
  std::array<std::uint32_t, kMaxFields> v{};
  std::size_t n = 0;
  bool ref_failed = split_fields(text, ',', v, n) || n < 3 || n > 4;
  for (std::size_t i = 0; i < n && !ref_failed; ++i) {
    ref_failed = v[i] > 255;
  }
  FUZZ_CHECK(failed == ref_failed);
  if (!failed) {
    FUZZ_CHECK(params.minimum <= 255 && params.maximum <= 255 && params.pulse_len <= 255 &&
               params.wait_time <= 255);
    FUZZ_CHECK(params.minimum == v[0] && params.maximum == v[1] && params.pulse_len == v[2]);
    FUZZ_CHECK(params.wait_time == (n == 4 ? v[3] : 0U));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<char, kMaxText + 1> text{};
  const std::size_t length = size < kMaxText ? size : kMaxText;
  if (length > 0) {
    std::memcpy(text.data(), data, length);
  }
  // Each format's own separator, and one the input chooses (its last byte, digits included).
  const char own_choice = length > 0 ? text[length - 1] : ':';
  for (const char separator : {':', '\\', ',', own_choice}) {
    check_field_reader(text.data(), separator);
  }
  check_time(text.data());
  check_date(text.data());
  check_output_params(text.data());
  return 0;
}
