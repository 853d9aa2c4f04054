// What the tool prints and sends, and what the simulated unit reports, for a run that succeeds
// everywhere: built in this one place for the tests and the benchmark.
#pragma once

#include <array>
#include <string>

namespace e2e {

// The labels of the sixteen steps, in the order they run.
extern const std::array<const char*, 16> kStepLabels;
// What follows a label for each outcome of an attempt.
constexpr char kDoneText[] = "Done\n";
constexpr char kFailedText[] = "Failed (press ESC to exit)\n";
constexpr char kAllDoneText[] = "All done without errors\n";
constexpr char kUserAbortText[] = "User abort\n";
constexpr char kFirstPrompt[] = " Port name               [ COM1]: ";

// The settings a run programs, as the summary shows them.
struct Settings {
  std::string port;
  unsigned baud = 9600, char_ms = 0, line_ms = 50;
  unsigned hour = 12, minute = 30, second = 0, day = 7, month = 12, year = 9;
  unsigned out1[3] = {0, 100, 0};
  unsigned out2[4] = {0, 100, 0, 0};
};

// The usage line and help text every command-line refusal prints, for the program named so.
std::string usage_text(const std::string& program);
// The summary the tool prints before it sends anything.
std::string summary(const Settings& s);
// "Sending data", sixteen labels each followed by "Done", and the verdict.
std::string sixteen_done();
// The sixteen command lines for these settings, each with its closing CR ("958:1\r", ...).
std::array<std::string, 16> command_lines(const Settings& s);
// The exact bytes a clean run puts on the wire: per line a lone CR, the line, one more CR.
std::string clean_wire(const Settings& s);
// The unit's state once loaded with these settings and locked again.
std::string loaded_state(const Settings& s);

}  // namespace e2e
