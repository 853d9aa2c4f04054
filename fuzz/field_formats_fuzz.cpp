// Fuzzes the -t, -d, -1 and -2 texts: the input is the text. Checked: what is accepted is in
// range, and accepted values written out again in their plain form read back the same.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/reason.h"
#include "driver/setup_record.h"
#include "fuzz_check.h"
#include "setup/field_formats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<char, 256> text{};
  if (size > 0) {
    std::memcpy(text.data(), data, size < text.size() - 1 ? size : text.size() - 1);
  }
  std::array<char, 64> again{};
  g_setup = SetupRecord{};
  if (!parse_time(text.data())) {
    const SetupRecord got = g_setup;
    FUZZ_CHECK(got.hour <= 23 && got.minute <= 59 && got.second <= 59);
    std::snprintf(again.data(), again.size(), "%u:%u:%u", got.hour, got.minute, got.second);
    FUZZ_CHECK(!parse_time(again.data()) && g_setup.hour == got.hour &&
               g_setup.minute == got.minute && g_setup.second == got.second);
  }
  if (!parse_date(text.data())) {
    const SetupRecord got = g_setup;
    FUZZ_CHECK(got.day <= 31 && got.month <= 12 && got.year <= 255);
    std::snprintf(again.data(), again.size(), "%u\\%u\\%u", got.day, got.month, got.year + 2000);
    FUZZ_CHECK(!parse_date(again.data()) && g_setup.day == got.day && g_setup.month == got.month &&
               g_setup.year == got.year);
  } else {
    FUZZ_CHECK(std::strchr(setup_reason(), '\n') == nullptr);  // one line on standard error
  }
  OutputParams params{};
  if (!parse_output_params(text.data(), params)) {
    FUZZ_CHECK(params.minimum <= 255 && params.maximum <= 255 && params.pulse_len <= 255 &&
               params.wait_time <= 255);
    std::snprintf(again.data(), again.size(), "%u,%u,%u,%u", params.minimum, params.maximum,
                  params.pulse_len, params.wait_time);
    OutputParams read{};
    FUZZ_CHECK(!parse_output_params(again.data(), read) && read.minimum == params.minimum &&
               read.maximum == params.maximum && read.pulse_len == params.pulse_len &&
               read.wait_time == params.wait_time);
  }
  const char* cursor = text.data();
  std::uint32_t value = 0;
  read_decimal_field(cursor, ':', value);
  FUZZ_CHECK(cursor >= text.data() && cursor <= text.data() + std::strlen(text.data()));
  return 0;
}
