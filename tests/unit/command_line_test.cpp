// The option scan and resolve_setup: what a technician's command line turns into.
#include "setup/command_line.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "driver/setup_record.h"

namespace {

// Runs parse_options on words (the program name is added), the usage it may print swallowed.
bool scan(std::vector<std::string> words) {
  g_setup = SetupRecord{};
  static std::vector<std::string> storage;  // the record keeps pointers into the arguments
  storage = std::move(words);
  storage.insert(storage.begin(), "quorvel-setup");
  std::vector<char*> argv;
  for (std::string& word : storage) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  const bool failed = parse_options(static_cast<int>(storage.size()), argv.data());
  testing::internal::GetCapturedStdout();
  return failed;
}

std::string port() {
  return g_setup.port_name;
}

TEST(ParseOptions, OnlyTheLetterCountsAndTheNextArgumentIsTaken) {
  EXPECT_FALSE(scan({"-com3", "COM7"}));  // characters after the letter are ignored
  EXPECT_EQ(port(), "COM7");
  EXPECT_FALSE(scan({"-c", "-b"}));  // the option's argument, whatever it looks like
  EXPECT_EQ(port(), "-b");
  EXPECT_EQ(g_setup.baud_rate, 9600U);
}

std::tm at(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(ResolveSetup, APcClockOutsideTheUnitsYearsNeedsTheDate) {
  // The unit holds 2000 to 2255. (Bad option texts are the field formats' tables.)
  const struct {
    std::vector<std::string> words;
    std::tm now;
    bool fails;
  } cases[] = {
      {{"-s"}, at(1999, 12, 31, 23, 59, 59), true},
      {{"-s"}, at(2256, 1, 1, 0, 0, 0), true},
      {{"-s"}, at(2000, 1, 1, 0, 0, 0), false},
      {{"-s"}, at(2255, 12, 31, 0, 0, 0), false},
      {{"-d", "1\\1\\2009"}, at(1999, 12, 31, 23, 59, 59), false},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(scan(c.words));
    EXPECT_EQ(resolve_setup_at(c.now), c.fails) << c.words[0] << " " << c.now.tm_year + 1900;
  }
}

}  // namespace
