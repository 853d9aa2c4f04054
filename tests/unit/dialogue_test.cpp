// The dialogue's year question: a year in full or the years since 2000, the rest refused.
#include "setup/dialogue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "common/reason.h"
#include "driver/setup_record.h"
#include "fake_seams.h"
#include "setup/key_input.h"

namespace {

// Enter for every question but the year, which gets `answer`.
std::vector<int> keys_with_year(const std::string& answer) {
  std::vector<int> keys(9, kKeyEnter);  // the port, then baud rate to month
  keys.insert(keys.end(), answer.begin(), answer.end());
  keys.push_back(kKeyEnter);
  keys.insert(keys.end(), 7, kKeyEnter);  // the two outputs
  return keys;
}

TEST(RunDialogue, YearsInFullOrSince2000) {
  const struct {
    const char* answer;
    bool fails;
    std::uint32_t year;  // since 2000, when taken
  } cases[] = {
      {"2000", false, 0},  {"2255", false, 255}, {"2009", false, 9}, {"9", false, 9},
      {"255", false, 255}, {"0", false, 0},      {"", false, 21},    {"256", true, 0},
      {"1999", true, 0},   {"2256", true, 0},
  };
  std::tm now{};
  now.tm_year = 2021 - 1900;  // the default the question offers
  now.tm_mon = 5;
  now.tm_mday = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    g_setup = SetupRecord{};
    clear_reason();
    fake::set_keys(keys_with_year(c.answer));
    testing::internal::CaptureStdout();
    EXPECT_EQ(run_dialogue_at(now), c.fails);
    testing::internal::GetCapturedStdout();
    if (c.fails) {
      EXPECT_EQ(std::string(setup_reason()), "year " + std::string(c.answer) +
                                                 " is outside 2000-2255 and 0-255 (years since "
                                                 "2000)");
    } else {
      EXPECT_EQ(g_setup.year, c.year);
      EXPECT_STREQ(setup_reason(), "");
    }
  }
  g_setup = SetupRecord{};
}

}  // namespace
