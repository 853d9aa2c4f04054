// The Windows program end to end under Wine, through the same harness as the Linux program:
// QUORVEL_TEST_WRAPPER=wine and QUORVEL_TEST_TOOL naming the .exe (scripts/test-win32.sh sets
// them, with a Wine prefix of its own). The simulated unit serves its port behind a COM name in
// the prefix's dosdevices. Keys cannot be typed into a Wine console program from a
// pseudo-terminal, so the keyboard is always a pipe here; ESC and typed editing stay with the
// Linux tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

const std::vector<std::string> kClock = {"-t", "12:30:00", "-d", "7\\12\\2009"};

std::string prefix() {
  const char* value = std::getenv("WINEPREFIX");
  return value != nullptr ? value : "";
}

// The unit behind `com` ("COM5"), the tool to be given `port` for it (`com` when empty).
bool start_unit_on(Unit& unit, const std::string& com, const std::string& port = "",
                   const std::vector<std::string>& options = {}) {
  std::string link = prefix() + "/dosdevices/";
  for (const char c : com) {
    link += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return start_unit(unit, options, {link, port.empty() ? com : port});
}

// What a Windows program writes in text mode, with its CR LF line ends read as LF.
std::string lf(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
      out += text[i];
    }
  }
  return out;
}

int run_piped(Tool& tool, const std::vector<std::string>& args, const std::string& keys = "") {
  Options options;
  options.keyboard = Keyboard::kPipe;
  if (start_tool(tool, args, options)) {
    return -1;
  }
  type(tool, keys);
  close_keys(tool);
  const int status = wait_exit(tool);
  tool.out = lf(tool.out);
  tool.err = lf(tool.err);
  return status;
}

class Wine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(prefix().empty()) << "run through scripts/test-win32.sh (WINEPREFIX unset)";
  }
};

TEST_F(Wine, FullRunByteForByte) {
  Unit unit;
  ASSERT_FALSE(start_unit_on(unit, "COM5"));
  Settings s;
  s.port = "COM5";
  s.line_ms = 0;
  s.out1[0] = 1, s.out1[1] = 2, s.out1[2] = 3;
  s.out2[0] = 10, s.out2[1] = 50, s.out2[2] = 20, s.out2[3] = 5;
  std::vector<std::string> args = {"-c", "COM5",       "-b", "9600", "-1", "1,2,3",
                                   "-2", "10,50,20,5", "-a", "0",    "-l", "0"};
  args.insert(args.end(), kClock.begin(), kClock.end());
  Tool tool;
  EXPECT_EQ(run_piped(tool, args), 0);
  EXPECT_EQ(tool.out, "Quorvel Setup\n" + summary(s) + sixteen_done());
  EXPECT_EQ(tool.err, "");
  EXPECT_EQ(stop_unit(unit), loaded_state(s));
  EXPECT_EQ(wire(unit), clean_wire(s));
}

// ESC from the pipe on a silent unit: "!! Failed !!" and status 2, for a batch file's
// ERRORLEVEL.
TEST_F(Wine, EscOnASilentUnitEndsWithStatus2) {
  Unit unit;
  ASSERT_FALSE(start_unit_on(unit, "COM5", "", {"--silent"}));
  std::vector<std::string> args = {"-c", "COM5"};
  args.insert(args.end(), kClock.begin(), kClock.end());
  Tool tool;
  EXPECT_EQ(run_piped(tool, args, "\x1b"), 2);
  EXPECT_NE(tool.out.find(std::string(kUserAbortText) + "!! Failed !!\n"), std::string::npos)
      << tool.out;
  stop_unit(unit);
}

// Past COM9 a port opens only in the device namespace, the colon is a DOS habit, and a name
// in the namespace is taken as it is; the summary shows each as typed.
TEST_F(Wine, PortNamesAsTechniciansWriteThem) {
  const struct {
    const char* com;
    const char* typed;
  } cases[] = {{"COM12", "COM12"}, {"COM5", "COM5:"}, {"COM5", "\\\\.\\COM5"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    Unit unit;
    ASSERT_FALSE(start_unit_on(unit, c.com, c.typed));
    Settings s;
    s.port = c.typed;
    s.line_ms = 0;
    s.hour = 23, s.minute = 59, s.second = 58, s.day = 29, s.month = 2, s.year = 24;
    s.out2[0] = 255, s.out2[1] = 0, s.out2[2] = 1, s.out2[3] = 255;
    Tool tool;
    EXPECT_EQ(run_piped(tool, {"-c", c.typed, "-l", "0", "-t", "23:59:58", "-d", "29\\2\\2024",
                               "-2", "255,0,1,255"}),
              0);
    EXPECT_EQ(tool.out, "Quorvel Setup\n" + summary(s) + sixteen_done());
    EXPECT_EQ(stop_unit(unit), loaded_state(s));
  }
}

TEST_F(Wine, SpeedZeroRefusedWithNothingSent) {
  Unit unit;
  ASSERT_FALSE(start_unit_on(unit, "COM5"));
  Tool tool;
  EXPECT_EQ(run_piped(tool, {"-c", "COM5", "-b", "0"}), 1);
  EXPECT_EQ(tool.out, "Quorvel Setup\n\n! Unable to open COM port: COM5, 0\n");
  EXPECT_EQ(tool.err, "quorvel-setup: 0 is not a line speed\n");
  stop_unit(unit);
  EXPECT_EQ(wire(unit), "");
}

// A port that leads nowhere: the message with the name as typed, and on standard error the
// reason naming it, with the COM ports the system does know.
TEST_F(Wine, MissingPortNamedWithThePortsThereAre) {
  Unit unit;
  ASSERT_FALSE(start_unit_on(unit, "COM5"));
  for (const char* port : {"COM9", "COM13", "COM9:"}) {
    SCOPED_TRACE(port);
    Tool tool;
    EXPECT_EQ(run_piped(tool, {"-c", port}), 1);
    EXPECT_EQ(tool.out,
              std::string("Quorvel Setup\n\n! Unable to open COM port: ") + port + ", 9600\n");
    const std::string said = std::string("quorvel-setup: ") + port + ": no such port (";
    EXPECT_EQ(tool.err.rfind(said, 0), 0U) << tool.err;
    // Wine's list of device names holds the COM ports of the prefix as it was made (COM1), not
    // the links made since; Windows lists every port there is.
    const std::size_t list = tool.err.find(". Serial ports here: COM");
    EXPECT_NE(list, std::string::npos) << tool.err;
    EXPECT_EQ(tool.err.find("COM9,", list), std::string::npos) << tool.err;
    EXPECT_EQ(tool.err.find("COM13", list), std::string::npos) << tool.err;
    EXPECT_EQ(tool.err.find('\n'), tool.err.size() - 1) << tool.err;
  }
}

// The seventeen answers from a pipe, each ended by LF, CR or CR LF: each is one Enter.
TEST_F(Wine, DialogueAnsweredFromAPipe) {
  const std::vector<std::string> answers = {"COM5", "9600", "0", "0", "12", "30", "0",  "7", "12",
                                            "2009", "1",    "2", "3", "10", "50", "20", "5"};
  for (const char* end : {"\n", "\r", "\r\n"}) {
    SCOPED_TRACE(end[0] == '\n' ? "LF" : end[1] == '\0' ? "CR" : "CR LF");
    Unit unit;
    ASSERT_FALSE(start_unit_on(unit, "COM5"));
    std::string keys;
    for (const std::string& answer : answers) {
      keys += answer + end;
    }
    Tool tool;
    EXPECT_EQ(run_piped(tool, {}, keys), 0);
    Settings s;
    s.port = "COM5";
    s.line_ms = 0;
    s.out1[0] = 1, s.out1[1] = 2, s.out1[2] = 3;
    s.out2[0] = 10, s.out2[1] = 50, s.out2[2] = 20, s.out2[3] = 5;
    const std::string ending = summary(s) + sixteen_done();
    ASSERT_GE(tool.out.size(), ending.size()) << tool.out;
    EXPECT_EQ(tool.out.substr(tool.out.size() - ending.size()), ending) << tool.out;
    EXPECT_EQ(tool.out.rfind(std::string("Quorvel Setup\n") + kFirstPrompt + "COM5\n", 0), 0U)
        << tool.out;
    EXPECT_EQ(tool.err, "");
    EXPECT_EQ(stop_unit(unit), loaded_state(s));
  }
}

// The end of the piped answers counts as ESC: nothing is sent, status 1.
TEST_F(Wine, DialogueInputEndingEarlyEndsTheRun) {
  Unit unit;
  ASSERT_FALSE(start_unit_on(unit, "COM5"));
  Tool tool;
  EXPECT_EQ(run_piped(tool, {}, "COM5\n9600\n"), 1);
  EXPECT_NE(tool.err.find("the input ended"), std::string::npos) << tool.err;
  stop_unit(unit);
  EXPECT_EQ(wire(unit), "");
}

}  // namespace
}  // namespace e2e
