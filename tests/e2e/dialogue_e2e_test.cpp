// Dialogue mode end to end: keys typed on a terminal (or piped), prompts and echo exactly as
// the operator sees them, and what reaches the unit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

const char kNow[] = "2009-12-07 12:30:00";  // the PC clock the dialogue offers as defaults

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
const char* const kPortPrompt = kFirstPrompt;

// Answers for the sixteen number prompts: empty takes the default.
std::string keys_for(const std::string& port, const std::vector<std::string>& answers) {
  std::string keys = port + "\r";
  for (const std::string& answer : answers) {
    keys += answer + "\r";
  }
  return keys;
}

Settings dialogue_defaults(const Unit& unit) {
  Settings s;
  s.port = unit.path;
  s.out1[1] = 255;
  s.out2[1] = 255;
  return s;
}

// Starts the dialogue on a terminal and types once the first prompt is up.
void start_dialogue(Tool& tool, const std::string& keys) {
  Options options;
  options.fake_time = kNow;
  start_tool(tool, {}, options);
  ASSERT_TRUE(wait_output(tool, kPortPrompt));
  type(tool, keys);
}

TEST(Dialogue, EnterEverywhereProgramsTheDefaults) {
  Unit unit;
  start_unit(unit);
  Tool tool;
  start_dialogue(tool, keys_for(unit.path, std::vector<std::string>(16)));
  EXPECT_EQ(wait_exit(tool), 0);
  std::string expected = std::string("Quorvel Setup\n") + kPortPrompt + unit.path + "\n";
  for (const std::string& prompt : kPrompts) {
    expected += prompt + "\n";
  }
  const Settings s = dialogue_defaults(unit);
  EXPECT_EQ(tool.out, expected + summary(s) + sixteen_done());
  EXPECT_TRUE(modes_restored(tool));
  EXPECT_EQ(stop_unit(unit), loaded_state(s));
  EXPECT_EQ(wire(unit), clean_wire(s));
}

TEST(Dialogue, EditingKeys) {
  Unit unit;
  start_unit(unit);
  Tool tool;
  // A stray character erased with Backspace (DEL on a terminal), arrow keys ignored, a digit
  // erased, leading zeros swallowed, '0' alone taken as 0.
  std::vector<std::string> answers(16);
  answers[0] = "96000\x7f";
  answers[2] = "0";
  answers[3] = "\x1b[A7\x1b[D";
  answers[4] = "005";
  answers[9] = "12\x7f";
  start_dialogue(tool, keys_for(unit.path + "X\x7f", answers));
  EXPECT_EQ(wait_exit(tool), 0);
  EXPECT_NE(tool.out.find(kPortPrompt + unit.path + "X\b \b\n"), std::string::npos);
  EXPECT_NE(tool.out.find(kPrompts[0] + "96000\b \b\n"), std::string::npos);
  EXPECT_NE(tool.out.find(kPrompts[4] + "5\n"), std::string::npos);
  Settings s = dialogue_defaults(unit);
  s.line_ms = 0;
  s.hour = 7;
  s.minute = 5;
  s.out1[0] = 1;
  EXPECT_NE(tool.out.find(summary(s) + sixteen_done()), std::string::npos) << tool.out;
  EXPECT_EQ(stop_unit(unit), loaded_state(s));
}

TEST(Dialogue, AYearInFullReachesTheUnitAsYearsSince2000) {
  // The year rule's other answers are the dialogue's unit tests.
  Unit unit;
  start_unit(unit);
  std::vector<std::string> answers(16);
  answers[2] = "0";
  answers[8] = "2255";
  Tool tool;
  start_dialogue(tool, keys_for(unit.path, answers));
  EXPECT_EQ(wait_exit(tool), 0);
  Settings s = dialogue_defaults(unit);
  s.line_ms = 0;
  s.year = 255;
  EXPECT_NE(tool.out.find(summary(s)), std::string::npos) << tool.out;
  EXPECT_EQ(stop_unit(unit), loaded_state(s));
}

TEST(Dialogue, EscEndsWithStatusOneSaysNothingAndSendsNothing) {
  // Answers out of range end the same way; they are the reasons' tests.
  const struct {
    const char* name;
    int prompt;  // index into kPrompts; -1 for the port prompt
    std::string keys;
    std::string shown;  // what the editor echoed before its line end
  } cases[] = {
      {"ESC at the port", -1, "CO\x1b", "CO"},
      {"ESC at the baud rate", 0, "12\x1b", "12"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unit unit;
    start_unit(unit);
    std::string keys = c.prompt < 0 ? c.keys : unit.path + "\r";
    for (int i = 0; i < c.prompt; ++i) {
      keys += "\r";
    }
    if (c.prompt >= 0) {
      keys += c.keys;
    }
    Tool tool;
    start_dialogue(tool, keys);
    EXPECT_EQ(wait_exit(tool), 1);
    const std::string prompt = c.prompt < 0 ? kPortPrompt : kPrompts[c.prompt];
    const std::string ending = prompt + c.shown + "\n";
    ASSERT_GE(tool.out.size(), ending.size());
    EXPECT_EQ(tool.out.substr(tool.out.size() - ending.size()), ending);
    EXPECT_EQ(tool.err, "");
    EXPECT_TRUE(modes_restored(tool));
    stop_unit(unit);
    EXPECT_EQ(wire(unit), "");
  }
}

TEST(Dialogue, HostileAnswersAreBoundedAndEscStillEnds) {
  std::string port_keys;
  for (int i = 0; i < 10000; ++i) {
    port_keys += static_cast<char>(0x80 + i % 0x7f);  // bytes above 127, none of them DEL
  }
  Tool tool;
  start_dialogue(tool, port_keys + "\r" + std::string(5000, '9') + "\x1b");
  EXPECT_EQ(wait_exit(tool), 1);
  // 49 characters of the port name are kept; the number stops before it would overflow.
  EXPECT_EQ(tool.out, std::string("Quorvel Setup\n") + kPortPrompt + port_keys.substr(0, 49) +
                          "\n" + kPrompts[0] + "999999999\n");
  EXPECT_TRUE(modes_restored(tool));
}

TEST(Dialogue, PipedAnswersRunAndSayNothingOnStandardError) {
  // Where piped answers that end too soon stop is the reasons' test.
  Unit unit;
  start_unit(unit);
  Options options;
  options.keyboard = Keyboard::kPipe;
  options.fake_time = kNow;
  Tool tool;
  start_tool(tool, {}, options);
  std::string answers = unit.path + "\n";
  for (int i = 0; i < 16; ++i) {
    answers += i == 2 ? "0\r\n" : "\n";  // CR LF is one Enter
  }
  type(tool, answers);
  close_keys(tool);
  EXPECT_EQ(wait_exit(tool), 0);
  Settings s = dialogue_defaults(unit);
  s.line_ms = 0;
  EXPECT_NE(tool.out.find(summary(s) + sixteen_done()), std::string::npos) << tool.out;
  EXPECT_EQ(tool.err, "");
  stop_unit(unit);
}

}  // namespace
}  // namespace e2e
