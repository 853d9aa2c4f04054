// Command-line mode end to end: the real program against the simulated unit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

std::string usage() {
  return usage_text(tool_path());
}

struct CleanRun {
  const char* name;
  std::vector<std::string> args;  // "UNIT" stands for the simulated unit's path
  Settings settings;              // port is filled in
  std::string fake_time;
};

Settings with(unsigned baud, unsigned char_ms, unsigned line_ms, std::vector<unsigned> clock,
              std::vector<unsigned> out1, std::vector<unsigned> out2) {
  Settings s;
  s.baud = baud;
  s.char_ms = char_ms;
  s.line_ms = line_ms;
  s.hour = clock[0];
  s.minute = clock[1];
  s.second = clock[2];
  s.day = clock[3];
  s.month = clock[4];
  s.year = clock[5];
  for (int i = 0; i < 3; ++i) {
    s.out1[i] = out1[i];
  }
  for (int i = 0; i < 4; ++i) {
    s.out2[i] = out2[i];
  }
  return s;
}

TEST(CommandLine, CleanRunsTranscriptWireAndUnitState) {
  const CleanRun runs[] = {
      {"the usual run",
       {"-c", "UNIT", "-t", "12:30:00", "-d", "7\\12\\2009", "-1", "1,2,3", "-2", "10,50,20,5"},
       with(9600, 0, 50, {12, 30, 0, 7, 12, 9}, {1, 2, 3}, {10, 50, 20, 5}),
       ""},
      {"every option, prefixes and case folded, later ones win",
       {"/C", "nowhere",    "-s", "/B",          "19200", "-T",     "23:59:59",
        "-d", "31\\1\\255", "-1", "255,0,255,9", "-2",    "1,2,,3", "-A",
        "1",  "/l",         "5",  "-c",          "UNIT",  "-b",     "38400"},
       with(38400, 1, 5, {23, 59, 59, 31, 1, 255}, {255, 0, 255}, {1, 2, 0, 3}),
       ""},
      {"a rate outside the standard table",
       {"-c", "UNIT", "-b", "12345", "-l", "0", "-t", "0:0:0", "-d", "0\\0\\2000"},
       with(12345, 0, 0, {0, 0, 0, 0, 0, 0}, {0, 100, 0}, {0, 100, 0, 0}),
       ""},
      {"clock from the PC when not given",
       {"-c", "UNIT", "-l", "0"},
       with(9600, 0, 0, {12, 30, 0, 7, 12, 9}, {0, 100, 0}, {0, 100, 0, 0}),
       "2009-12-07 12:30:00"},
  };
  for (const CleanRun& run_case : runs) {
    SCOPED_TRACE(run_case.name);
    Unit unit;
    start_unit(unit);
    std::vector<std::string> args = run_case.args;
    for (std::string& arg : args) {
      if (arg == "UNIT") {
        arg = unit.path;
      }
    }
    Settings expected = run_case.settings;
    expected.port = unit.path;
    Options options;
    options.fake_time = run_case.fake_time;
    Tool tool;
    EXPECT_EQ(run(tool, args, options), 0);
    EXPECT_EQ(tool.out, "Quorvel Setup\n" + summary(expected) + sixteen_done());
    EXPECT_EQ(tool.err, "");
    EXPECT_TRUE(modes_restored(tool));
    const std::string state = stop_unit(unit);
    EXPECT_EQ(wire(unit), clean_wire(expected));
    // Day and month 0 are sent as given; the unit refuses a month 0 and keeps its own.
    if (expected.month != 0) {
      EXPECT_EQ(state, loaded_state(expected));
    }
  }
}

TEST(CommandLine, UsageErrorsSendNothing) {
  // With the unit's port given first, each kind of refusal: nothing reaches the unit. Which
  // texts each option refuses is for the field formats' tables and the reasons' tests; the
  // hostile ones are here for the runs under memcheck.
  const std::string huge_digits(5000, '7');
  const std::vector<std::vector<std::string>> cases = {
      {"-c", "UNIT", "-x"},
      {"-c", "UNIT", "-t", "1:2:3", "-b"},
      {"-c", "UNIT", "x"},
      {"-c", "UNIT", "-"},
      {"-c", "UNIT", ""},
      {"-c", "UNIT", "-t", "24:00:00"},
      {"-c", "UNIT", "-t", huge_digits + ":0:0"},
      {"-c", "UNIT", "-1", huge_digits},
      {"-c", "UNIT", "-d", "\xff\xfe\\1\\1"},
  };
  for (const auto& words : cases) {
    SCOPED_TRACE(words[2] + (words.size() > 3 ? " " + words[3].substr(0, 20) : ""));
    Unit unit;
    start_unit(unit);
    std::vector<std::string> args = words;
    for (std::string& arg : args) {
      if (arg == "UNIT") {
        arg = unit.path;
      }
    }
    Tool tool;
    EXPECT_EQ(run(tool, args), 1);
    EXPECT_EQ(tool.out, "Quorvel Setup\n" + usage());
    EXPECT_TRUE(modes_restored(tool));
    stop_unit(unit);
    EXPECT_EQ(wire(unit), "");
  }
}

TEST(CommandLine, PortThatCannotBeOpened) {
  Unit unit;
  start_unit(unit);
  const int holder = open(unit.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // another program has the port
  const std::string long_name = "/dev/" + std::string(100000, 'x');
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-c", "/dev/quorvel-no-such-port"}, "/dev/quorvel-no-such-port, 9600"},
      {{"-c", "COM9"}, "COM9, 9600"},
      {{"-c", unit.path}, unit.path + ", 9600"},
      {{"-c", "/dev/null", "-b", "1200"}, "/dev/null, 1200"},  // not a serial line
      {{"-c", unit.dir + "/wire"}, unit.dir + "/wire, 9600"},
      {{"-c", long_name}, long_name + ", 9600"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 40));
    Tool tool;
    EXPECT_EQ(run(tool, c.args), 1);
    EXPECT_EQ(tool.out, "Quorvel Setup\n\n! Unable to open COM port: " + c.message + "\n");
    EXPECT_TRUE(modes_restored(tool));
    // Why, in one line on standard error (three where a list of ports follows).
    int lines = 0;
    for (const char ch : tool.err) {
      lines += ch == '\n' ? 1 : 0;
    }
    EXPECT_EQ(tool.err.rfind("quorvel-setup: ", 0), 0U) << tool.err;
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 3) << tool.err;
    EXPECT_EQ(tool.err.back(), '\n');
  }
  close(holder);

  // A speed of 0 (what '-b fast' gives) would hang the line up; it is refused before the port
  // is touched, and an open failure too.
  Tool tool;
  EXPECT_EQ(run(tool, {"-c", unit.path, "-b", "fast"}), 1);
  EXPECT_EQ(tool.out, "Quorvel Setup\n\n! Unable to open COM port: " + unit.path + ", 0\n");
  EXPECT_EQ(tool.err, "quorvel-setup: 0 is not a line speed\n");
  stop_unit(unit);
  EXPECT_EQ(wire(unit), "");
}

}  // namespace
}  // namespace e2e
