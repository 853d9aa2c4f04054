// Every refusal keeps its standard output byte for byte and says on standard error, in one line
// after the program's name, what was wrong and what to do; a good run says nothing there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

// The usage line and help text, as every command-line refusal prints them.
std::string usage() {
  return usage_text(tool_path());
}

// One line, the program's name first, holding every expected part and no control bytes that a
// terminal would act on.
void expect_reason(const std::string& err, const std::vector<std::string>& parts) {
  EXPECT_EQ(err.rfind("quorvel-setup: ", 0), 0U) << err;
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.back(), '\n');
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  EXPECT_LT(err.size(), 200U) << err;
  for (const char c : err.substr(0, err.size() - 1)) {
    EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << static_cast<int>(c) << " in " << err;
  }
  for (const std::string& part : parts) {
    EXPECT_NE(err.find(part), std::string::npos) << "missing \"" << part << "\" in " << err;
  }
}

struct Refusal {
  std::vector<std::string> args;
  std::vector<std::string> parts;  // each must be in the reason
  std::string fake_time = "";      // the PC clock, when it matters
};

TEST(Reasons, CommandLineRefusalsSayWhatWasWrong) {
  const std::string huge(5000, '7');
  const Refusal cases[] = {
      // The shell took the backslashes out of an unquoted 7\12\2009.
      {{"-d", "7122009"},
       {"-d 7122009: ", "the date needs two backslashes, DD\\MM\\YYYY",
        "in a Unix shell quote it: -d '7\\12\\2009'"}},
      {{"-d", "7/12/2009"}, {"-d 7/12/2009: the date needs two backslashes, DD\\MM\\YYYY"}},
      {{"-d", "32\\12\\2009"}, {"-d 32\\12\\2009: day 32 is outside 0-31"}},
      {{"-d", "7\\13\\2009"}, {"month 13 is outside 0-12"}},
      {{"-d", "7\\12\\2256"}, {"-d 7\\12\\2256: year 2256 is outside 2000-2255 and 0-255"}},
      {{"-d", "7\\12\\2009\\"}, {"the date is DD\\MM\\YYYY"}},
      {{"-t", "25:00:00"}, {"-t 25:00:00: hour 25 is outside 0-23"}},
      {{"-t", "24:00:00"}, {"-t 24:00:00: hour 24 is outside 0-23"}},
      {{"-t", "12:60:00"}, {"minute 60 is outside 0-59"}},
      {{"-t", "12:30:60"}, {"second 60 is outside 0-59"}},
      {{"-t", "12:30"}, {"-t 12:30: the time is HH:MM:SS"}},
      {{"-t", "12.30.00"}, {"'.' is not a digit; the time is HH:MM:SS"}},
      {{"-t", ""}, {"-t '': the time is HH:MM:SS"}},
      {{"-t", huge + ":0:0"}, {"-t 7777", "...: hour 7777", "is outside 0-23"}},
      {{"-2", "10,256,20"}, {"-2 10,256,20: maximum 256 is outside 0-255"}},
      {{"-1", "256,0,0"}, {"-1 256,0,0: minimum 256 is outside 0-255"}},
      {{"-1", "1,2,300"}, {"pulse length 300 is outside 0-255"}},
      {{"-2", "1,2,3,256"}, {"wait time 256 is outside 0-255"}},
      {{"-1", "10,50"}, {"-1 10,50: the values are MIN,MAX,TTT or MIN,MAX,TTT,WWW"}},
      {{"-x"}, {"-x: no such option"}},
      {{"-f", "name"}, {"-f: no such option"}},
      {{"-c"}, {"-c: needs a port name"}},
      {{"-b"}, {"-b: needs a line speed"}},
      {{"-t"}, {"-t: needs a time, HH:MM:SS"}},
      {{"-d"}, {"-d: needs a date, DD\\MM\\YYYY"}},
      {{"-1"}, {"-1: needs MIN,MAX,TTT"}},
      {{"-2"}, {"-2: needs MIN,MAX,TTT[,WWW]"}},
      {{"/A"}, {"/A: needs a pause in ms"}},
      {{"-l"}, {"-l: needs a pause in ms"}},
      {{"-c", "COM1", "-t", "1:2:3", "-b"}, {"-b: needs a line speed"}},
      {{"x"}, {"x: not an option"}},
      {{""}, {"'': not an option"}},
      {{"-"}, {"-: an option letter must follow"}},
      {{"-s", "5"}, {"5: not an option; -s takes no value"}},
      // A Linux port given without -c reads as the option /d.
      {{"/dev/ttyUSB0"}, {"/dev/ttyUSB0: read as the option /d", "-c /dev/ttyUSB0"}},
      {{"/dev/ttyUSB0", "-t", "12:00:00"},
       {"/dev/ttyUSB0: read as the option /d, so -t was taken as the date",
        "give a port as -c /dev/ttyUSB0"}},
      {{"/dev/ttyUSB0", "-s"}, {"so -s was taken as the date", "-c /dev/ttyUSB0"}},
      // Any path reads as the option its second character names; the reason quotes the path,
      // never an option the technician did not type.
      {{"/tmp/unit", "-c", "COM1"},
       {"quorvel-setup: /tmp/unit: read as the option /t, so -c was taken as the time; give a "
        "port as -c /tmp/unit\n"}},
      {{"/tmp/unit"}, {"/tmp/unit: read as the option /t, which needs a time", "-c /tmp/unit"}},
      {{"/home/tech/port"},
       {"/home/tech/port: read as the option /h, and there is no such option",
        "give a port as -c /home/tech/port"}},
      {{"/1/x", "5,5"}, {"so 5,5 was taken as output 1's values", "-c /1/x"}},
      {{"/\x1b[2J/x"}, {"read as the option /\\x1b, and there is no such option"}},
      // A value that only fills an option's place earlier on is no reason to blame it.
      {{"/dev/ttyUSB0", "1\\1\\2010", "-c", "COM1", "x"},
       {"quorvel-setup: x: not an option; every value follows its option"}},
      // The option as typed, not as the scan reads it.
      {{"/T", "25:00:00"}, {"quorvel-setup: /T 25:00:00: hour 25 is outside 0-23"}},
      {{"-time", "12:30"}, {"quorvel-setup: -time 12:30: the time is HH:MM:SS"}},
      // An option where a value should be: the value of the option before is what is missing.
      {{"-c", "-s", "5"},
       {"quorvel-setup: -c: needs a port name; -s was taken as one, so 5 is "
        "not an option\n"}},
      {{"-t", "-c", "COM1"}, {"-t: needs a time, HH:MM:SS; -c was taken as one, so COM1 is not"}},
      {{"-c", "/dev/ttyUSB0", "5"}, {"5: not an option; every value follows its option"}},
      // Control bytes are shown, not sent to the terminal.
      {{"-d", "\x1b[2J\\1\\1"}, {"-d \\x1b[2J\\1\\1: '\\x1b' is not a digit"}},
      {{"-c", "COM1"},
       {"the PC clock says 1999; the unit holds 2000 to 2255: give the date with -d"},
       "1999-12-31 23:59:59"},
      {{"-c", "COM1"}, {"the PC clock says 2256;", "give the date with -d"}, "2256-01-01 00:00:00"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1].substr(0, 20) : ""));
    Options options;
    options.fake_time = c.fake_time;
    Tool tool;
    EXPECT_EQ(run(tool, c.args, options), 1);
    EXPECT_EQ(tool.out, "Quorvel Setup\n" + usage());
    expect_reason(tool.err, c.parts);
  }
}

// The dialogue's prompts in order, with the PC clock at 2009-12-07 12:30:00.
const char kNow[] = "2009-12-07 12:30:00";
const char kPortPrompt[] = " Port name               [ COM1]: ";
const std::vector<std::string> kPrompts = {
    " Baudrate                [ 9600]: ",   " Time between chars,   ms  [    0]: ",
    " Time between fields,   ms [   50]: ", " Hour                (0-23)[   12]: ",
    " Minutes             (0-59)[   30]: ", " Seconds             (0-59)[    0]: ",
    " Day                 (1-31)[    7]: ", " Month               (1-12)[   12]: ",
    " Year                      [ 2009]: ", " Output1, minimum   (0-255)[    0]: ",
    "          maximum   (0-255)[  255]: ", " puls length in 10ms(0-255)[    0]: ",
    " Output2, minimum   (0-255)[    0]: ", "          maximum   (0-255)[  255]: ",
    " puls length in 10ms(0-255)[    0]: ", " waittime in 10ms   (0-255)[    0]: ",
};

TEST(Reasons, DialogueAnswersOutOfRange) {
  const struct {
    int prompt;  // index into kPrompts
    const char* answer;
    const char* reason;  // the whole line after the program's name
  } cases[] = {
      {3, "24", "hour 24 is outside 0-23"},
      {4, "60", "minute 60 is outside 0-59"},
      {5, "99", "second 99 is outside 0-59"},
      {6, "32", "day 32 is outside 0-31"},
      {7, "13", "month 13 is outside 0-12"},
      {8, "2256", "year 2256 is outside 2000-2255 and 0-255 (years since 2000)"},
      {8, "1999", "year 1999 is outside 2000-2255 and 0-255 (years since 2000)"},
      {9, "256", "output 1 minimum 256 is outside 0-255"},
      {10, "300", "output 1 maximum 300 is outside 0-255"},
      {11, "999", "output 1 pulse length 999 is outside 0-255"},
      {12, "256", "output 2 minimum 256 is outside 0-255"},
      {13, "4294967295", "output 2 maximum 4294967295 is outside 0-255"},
      {14, "256", "output 2 pulse length 256 is outside 0-255"},
      {15, "256", "output 2 wait time 256 is outside 0-255"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    Unit unit;
    start_unit(unit);
    std::string keys = unit.path + "\r";
    std::string expected = std::string("Quorvel Setup\n") + kPortPrompt + unit.path + "\n";
    for (int i = 0; i < c.prompt; ++i) {
      keys += "\r";
      expected += kPrompts[static_cast<std::size_t>(i)] + "\n";
    }
    keys += std::string(c.answer) + "\r";
    expected += kPrompts[static_cast<std::size_t>(c.prompt)] + c.answer + "\n";
    Options options;
    options.fake_time = kNow;
    Tool tool;
    start_tool(tool, {}, options);
    ASSERT_TRUE(wait_output(tool, kPortPrompt));
    type(tool, keys);
    EXPECT_EQ(wait_exit(tool), 1);
    EXPECT_EQ(tool.out, expected);
    EXPECT_EQ(tool.err, std::string("quorvel-setup: ") + c.reason + "\n");
    EXPECT_TRUE(modes_restored(tool));
    stop_unit(unit);
    EXPECT_EQ(wire(unit), "");
  }
}

TEST(Reasons, DialogueInputThatEndsSaysWhere) {
  const struct {
    std::string input;
    std::string out_tail;
    const char* question;
  } ended[] = {
      {"COM", std::string(kPortPrompt) + "COM\n", "port name"},
      {"COM1\n\n\n\n12", kPrompts[3] + "12\n", "hour"},
      {"COM1\n\n\n\n\n\n\n\n\n", kPrompts[8] + "\n", "year"},
  };
  for (const auto& c : ended) {
    SCOPED_TRACE(c.question);
    Options options;
    options.keyboard = Keyboard::kPipe;
    options.fake_time = kNow;
    Tool tool;
    start_tool(tool, {}, options);
    type(tool, c.input);
    close_keys(tool);
    EXPECT_EQ(wait_exit(tool), 1);
    ASSERT_GE(tool.out.size(), c.out_tail.size());
    EXPECT_EQ(tool.out.substr(tool.out.size() - c.out_tail.size()), c.out_tail);
    EXPECT_EQ(tool.err, std::string("quorvel-setup: the input ended at the ") + c.question +
                            " question; the dialogue takes 17 answers\n");
  }
}

}  // namespace
}  // namespace e2e
