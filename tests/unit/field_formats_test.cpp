// The -t, -d, -1 and -2 texts: what is accepted, what each field ends up as (written out in the
// plain form, the fuzz target's), what is refused.
#include <gtest/gtest.h>

#include <vector>

#include "plain_fields.h"

namespace {

// An empty field before a separator is 0, but the last field needs a digit; day and month 0 are
// taken as they are; years 2000-2255 lose the 2000; a field past 32 bits is refused, not wrapped.
TEST(FieldFormats, AcceptsAndRefuses) {
  const struct {
    char format;
    const char* text;
    const char* stored;
  } accepted[] = {
      {'t', ":5:6", "0:5:6"},
      {'t', "00012:0:0", "12:0:0"},
      {'d', "7\\12\\9", "7\\12\\2009"},
      {'d', "0\\0\\0", "0\\0\\2000"},
      {'d', "1\\1\\2255", "1\\1\\2255"},
      {'d', "1\\1\\2000", "1\\1\\2000"},
      {'o', "10,50,20", "10,50,20,0"},
      {'o', "1,2,,5", "1,2,0,5"},
      {'o', "255,255,255,255", "255,255,255,255"},
  };
  for (const auto& c : accepted) {
    EXPECT_EQ(plain_fields(c.format, c.text), c.stored) << c.text;
  }
  const struct {
    char format;
    std::vector<const char*> texts;
  } refused[] = {
      {'t', {"12:30:00:", ":30:", "4294967296:0:0", "+1:00:00", " 1:00:00"}},
      {'d', {"7\\12\\256", "7\\12\\1999", "7\\12\\"}},
      {'o', {"10,50,20,", "10,50,20,5,"}},
  };
  for (const auto& c : refused) {
    for (const char* text : c.texts) {
      EXPECT_EQ(plain_fields(c.format, text), "") << c.format << " " << text;
    }
  }
}

}  // namespace
