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

}  // namespace
