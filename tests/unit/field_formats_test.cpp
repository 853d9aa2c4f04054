// The -t, -d, -1 and -2 texts: what is accepted, what each field ends up as, what is refused.
// That an accepted value is in range is the fuzz target's check, on its corpus.
#include "setup/field_formats.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "driver/setup_record.h"

namespace {

using Fields = std::array<std::uint32_t, 4>;

// Each parser with the fields it sets, in their order (unused ones 0).
bool time_of(const char* text, Fields& fields) {
  g_setup = SetupRecord{};
  const bool failed = parse_time(text);
  fields = {g_setup.hour, g_setup.minute, g_setup.second, 0};
  return failed;
}

bool date_of(const char* text, Fields& fields) {
  g_setup = SetupRecord{};
  const bool failed = parse_date(text);
  fields = {g_setup.day, g_setup.month, g_setup.year, 0};
  return failed;
}

bool output_of(const char* text, Fields& fields) {
  OutputParams params{9, 9, 9, 9};
  const bool failed = parse_output_params(text, params);
  fields = {params.minimum, params.maximum, params.pulse_len, params.wait_time};
  return failed;
}

TEST(FieldFormats, AcceptsAndRefuses) {
  const struct {
    bool (*parse)(const char*, Fields&);
    const char* text;
    bool fails;
    Fields fields;
  } cases[] = {
      {time_of, "12:30:00", false, {12, 30, 0}},
      {time_of, "23:59:59", false, {23, 59, 59}},
      {time_of, ":5:6", false, {0, 5, 6}},  // an empty field before a separator is 0
      {time_of, "00012:0:0", false, {12, 0, 0}},
      {time_of, "12:60:00", true, {}},
      {time_of, "12:30:60", true, {}},
      {time_of, "12:30", true, {}},
      {time_of, "12:30:00x", true, {}},
      {time_of, "12:30:00:", true, {}},
      {time_of, ":30:", true, {}},  // the last field needs a digit
      {time_of, "", true, {}},
      {time_of, "4294967296:0:0", true, {}},  // 32-bit overflow
      {time_of, "1a:00:00", true, {}},
      {time_of, "+1:00:00", true, {}},
      {time_of, " 1:00:00", true, {}},
      {date_of, "7\\12\\2009", false, {7, 12, 9}},
      {date_of, "7\\12\\9", false, {7, 12, 9}},
      {date_of, "0\\0\\0", false, {0, 0, 0}},  // day and month 0 are taken as they are
      {date_of, "31\\12\\255", false, {31, 12, 255}},
      {date_of, "1\\1\\2255", false, {1, 1, 255}},
      {date_of, "1\\1\\2000", false, {1, 1, 0}},
      {date_of, "\\\\5", false, {0, 0, 5}},
      {date_of, "7\\12\\2256", true, {}},
      {date_of, "7\\12\\256", true, {}},
      {date_of, "7\\12\\1999", true, {}},
      {date_of, "32\\1\\9", true, {}},
      {date_of, "1\\13\\9", true, {}},
      {date_of, "7/12/2009", true, {}},
      {date_of, "7\\12\\2009\\", true, {}},
      {date_of, "7\\12", true, {}},
      {date_of, "7\\12\\", true, {}},
      {output_of, "10,50,20", false, {10, 50, 20, 0}},
      {output_of, "10,50,20,5", false, {10, 50, 20, 5}},
      {output_of, "1,2,,5", false, {1, 2, 0, 5}},
      {output_of, "255,255,255,255", false, {255, 255, 255, 255}},
      {output_of, ",,0", false, {0, 0, 0, 0}},
      {output_of, "10,50,20,", true, {}},
      {output_of, "10,50", true, {}},
      {output_of, "10,256,20", true, {}},
      {output_of, "10,50,20,256", true, {}},
      {output_of, "10,50,20,5,", true, {}},
      {output_of, "10,50,20,5,1", true, {}},
      {output_of, "-1,50,20", true, {}},
      {output_of, "", true, {}},
  };
  for (const auto& c : cases) {
    Fields fields{};
    EXPECT_EQ(c.parse(c.text, fields), c.fails) << c.text;
    if (!c.fails) {
      EXPECT_EQ(fields, c.fields) << c.text;
    }
  }
}

}  // namespace
