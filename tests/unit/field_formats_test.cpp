// The -t, -d, -1 and -2 texts: what is accepted, what each field ends up as, what is refused.
// That an accepted value is in range is the fuzz target's check, on its corpus.
#include "setup/field_formats.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "driver/setup_record.h"

namespace {

using Fields = std::vector<std::uint32_t>;

// What the parser for format (t, d or o: the -1 and -2 texts) stores from text, the fields in
// their order; nothing when it refuses the text.
Fields parsed(char format, const char* text) {
  g_setup = SetupRecord{};
  const SetupRecord& s = g_setup;
  OutputParams o{9, 9, 9, 9};
  if (format == 't') {
    return parse_time(text) ? Fields{} : Fields{s.hour, s.minute, s.second};
  }
  if (format == 'd') {
    return parse_date(text) ? Fields{} : Fields{s.day, s.month, s.year};
  }
  return parse_output_params(text, o) ? Fields{}
                                      : Fields{o.minimum, o.maximum, o.pulse_len, o.wait_time};
}

// An empty field before a separator is 0, but the last field needs a digit; day and month 0 are
// taken as they are; years 2000-2255 lose the 2000; a field past 32 bits is refused, not wrapped.
TEST(FieldFormats, AcceptsAndRefuses) {
  const struct {
    char format;
    const char* text;
    Fields stored;
  } accepted[] = {
      {'t', "12:30:00", {12, 30, 0}},
      {'t', "23:59:59", {23, 59, 59}},
      {'t', ":5:6", {0, 5, 6}},
      {'t', "00012:0:0", {12, 0, 0}},
      {'d', "7\\12\\2009", {7, 12, 9}},
      {'d', "7\\12\\9", {7, 12, 9}},
      {'d', "0\\0\\0", {0, 0, 0}},
      {'d', "31\\12\\255", {31, 12, 255}},
      {'d', "1\\1\\2255", {1, 1, 255}},
      {'d', "1\\1\\2000", {1, 1, 0}},
      {'d', "\\\\5", {0, 0, 5}},
      {'o', "10,50,20", {10, 50, 20, 0}},
      {'o', "10,50,20,5", {10, 50, 20, 5}},
      {'o', "1,2,,5", {1, 2, 0, 5}},
      {'o', "255,255,255,255", {255, 255, 255, 255}},
      {'o', ",,0", {0, 0, 0, 0}},
  };
  for (const auto& c : accepted) {
    EXPECT_EQ(parsed(c.format, c.text), c.stored) << c.text;
  }
  const struct {
    char format;
    std::vector<const char*> texts;
  } refused[] = {
      {'t',
       {"12:60:00", "12:30:60", "12:30", "12:30:00x", "12:30:00:", ":30:", "", "4294967296:0:0",
        "1a:00:00", "+1:00:00", " 1:00:00"}},
      {'d',
       {"7\\12\\2256", "7\\12\\256", "7\\12\\1999", "32\\1\\9", "1\\13\\9", "7/12/2009",
        "7\\12\\2009\\", "7\\12", "7\\12\\"}},
      {'o',
       {"10,50,20,", "10,50", "10,256,20", "10,50,20,256", "10,50,20,5,", "10,50,20,5,1",
        "-1,50,20", ""}},
  };
  for (const auto& c : refused) {
    for (const char* text : c.texts) {
      EXPECT_EQ(parsed(c.format, text), Fields{}) << c.format << " " << text;
    }
  }
}

}  // namespace
