// Fuzzes the -t, -d, -1 and -2 texts: the input is the text. Checked: what is accepted is in
// range, accepted values written out again in their plain form read back the same, and what is
// refused leaves one reason line.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/reason.h"
#include "driver/setup_record.h"
#include "fuzz_check.h"
#include "setup/field_formats.h"

namespace {

// What the parser for format (t, d or o: the -1 and -2 texts) stores from text, written out in
// the form it reads (the year in full); "" when it refuses the text.
std::string stored(char format, const char* text) {
  g_setup = SetupRecord{};
  clear_reason();
  const SetupRecord& s = g_setup;
  OutputParams o{};
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // up to a NUL, as typed
  for (const char format : {'t', 'd', 'o'}) {
    const std::string plain = stored(format, text.c_str());
    FUZZ_CHECK(plain.empty() || stored(format, plain.c_str()) == plain);
  }
  const char* cursor = text.c_str();
  std::uint32_t value = 0;
  read_decimal_field(cursor, ':', value);
  FUZZ_CHECK(cursor >= text.c_str() && cursor <= text.c_str() + std::strlen(text.c_str()));
  return 0;
}
