// How a reason quotes what was typed: shortened, with bytes a terminal would act on made visible.
#include "common/reason.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

TEST(ShowText, ShortensAndMakesBytesVisible) {
  const struct {
    std::string text;
    std::size_t length, limit, size;
    const char* shown;
  } cases[] = {
      {"7\\12\\2009", 100, 20, 64, "7\\12\\2009"},
      {"123456789", 100, 4, 64, "1234..."},
      {"123456789", 3, 20, 64, "123"},  // only the field, up to its separator
      {"\x1b[2J", 100, 20, 64, "\\x1b[2J"},
      {"\xff\x7f\t", 100, 20, 64, "\\xff\\x7f\\x09"},
      {"\x01\x02", 100, 5, 64, "\\x01..."},  // an escape is shown whole or not at all
      {"abcdefgh", 100, 20, 8, "abcd..."},   // the buffer decides too, always terminated
      {"", 100, 20, 64, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::array<char, 64> out{};
    out.fill('Z');
    show_text(out.data(), c.size, c.text.c_str(), c.length, c.limit);
    EXPECT_STREQ(out.data(), c.shown);
  }
}

TEST(Reason, SetCutsToFitAndClears) {
  const std::string long_text(1000, 'x');
  set_reason("-c %s: needs %s", long_text.c_str(), "a port name");
  EXPECT_EQ(std::strlen(setup_reason()), kReasonSize - 1);
  clear_reason();
  EXPECT_STREQ(setup_reason(), "");
}

}  // namespace
