// A unit that misbehaves, an operator who gives up, and signals: the verdict, the status, what
// went out on the wire, the terminal and the port afterwards, and the CPU the waits cost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

const char* const kUnlockLabel = kStepLabels[0];
const char* const kFailed = kFailedText;

std::vector<std::string> usual_args(const Unit& unit) {
  return {"-c", unit.path, "-t", "12:30:00", "-d", "7\\12\\2009", "-l", "0"};
}

Settings usual_settings(const Unit& unit) {
  Settings s;
  s.port = unit.path;
  s.line_ms = 0;
  return s;
}

// Whether the port is still marked exclusive: TIOCEXCL outlives a program on a pseudo-terminal,
// and root, running these tests, would open it regardless.
bool exclusive(const Unit& unit) {
  const int fd = open(unit.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int flag = 1;
  const bool failed = fd < 0 || ioctl(fd, TIOCGEXCL, &flag) != 0;
  if (fd >= 0) {
    close(fd);
  }
  return failed || flag != 0;
}

// Free for the next program: no lock on it and not left exclusive.
bool port_free(const Unit& unit) {
  const int fd = open(unit.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const bool unlocked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) {
    close(fd);
  }
  return unlocked && !exclusive(unit);
}

TEST(Faults, UnitsThatStillGetProgrammed) {
  // One lost line and one late line each cost one resend; the others go through at once.
  const struct {
    const char* name;
    std::vector<std::string> unit_options;
    int resends;
  } cases[] = {
      {"noise between the echoed bytes", {"--noise"}, 0},
      {"every tenth line lost", {"--drop", "10"}, 1},
      {"the fifth line echoed later than the one-second wait",
       {"--late-line", "5", "--late", "1300"},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unit unit;
    start_unit(unit, c.unit_options);
    Tool tool;
    start_tool(tool, usual_args(unit));
    EXPECT_EQ(wait_exit(tool), 0);
    EXPECT_NE(tool.out.find("All done without errors\n"), std::string::npos) << tool.out;
    EXPECT_EQ(count(tool, kFailed), c.resends) << tool.out;
    EXPECT_EQ(count(tool, "Done\n"), 16);
    EXPECT_EQ(stop_unit(unit), loaded_state(usual_settings(unit)));
  }
}

TEST(Faults, TimeFromThePcIsReadAgainWhenTheClockStepsBegin) {
  // The first line's echo comes after the wait for it, so the clock steps begin more than a
  // second after the reading the summary shows; the date given is sent as given.
  Unit unit;
  start_unit(unit, {"--late-line", "1", "--late", "1300"});
  Options options;
  options.fake_time = "@2009-12-07 12:30:00";  // a PC clock that runs
  Tool tool;
  EXPECT_EQ(run(tool, {"-c", unit.path, "-d", "1\\2\\2010", "-l", "0"}, options), 0);
  const std::string state = stop_unit(unit);
  unsigned shown[3] = {}, sent[3] = {};
  ASSERT_EQ(std::sscanf(tool.out.c_str() + tool.out.find(" Time "), " Time : %u:%u:%u", &shown[0],
                        &shown[1], &shown[2]),
            3);
  ASSERT_EQ(std::sscanf(state.c_str(), "clock %u:%u:%u", &sent[0], &sent[1], &sent[2]), 3);
  EXPECT_GE(sent[0] * 3600 + sent[1] * 60 + sent[2], shown[0] * 3600 + shown[1] * 60 + shown[2] + 1)
      << tool.out << state;
  EXPECT_NE(state.find(" date 1\\2\\2010 running locked "), std::string::npos) << state;
}

TEST(Faults, SilentUnitResendsUntilEsc) {
  Unit unit;
  start_unit(unit, {"--silent"});
  Tool tool;
  start_tool(tool, usual_args(unit));
  ASSERT_TRUE(wait_output(tool, kFailed));
  // Keys other than ESC are dropped.
  type(tool, "q\r\x1b[A");
  ASSERT_TRUE(wait_output(tool, std::string(kFailed) + kUnlockLabel + kFailed + kUnlockLabel +
                                    kFailed + kUnlockLabel + kFailed));
  // While the tool runs nobody else gets the port, and a second program that tries leaves the
  // first one's claim as it was.
  EXPECT_FALSE(port_free(unit));
  Tool second;
  EXPECT_EQ(run(second, usual_args(unit)), 1);
  EXPECT_TRUE(exclusive(unit));
  type(tool, "\x1b");
  EXPECT_EQ(wait_exit(tool), 2);
  const std::string summary_end = "waittime    : 0x10ms=0ms\nSending data\n";
  const std::size_t start = tool.out.find(summary_end);
  ASSERT_NE(start, std::string::npos);
  const int attempts = count(tool, kUnlockLabel);
  std::string expected;
  for (int i = 1; i < attempts; ++i) {
    expected += std::string(kUnlockLabel) + kFailed;
  }
  expected += std::string(kUnlockLabel) + "User abort\n!! Failed !!\n";
  EXPECT_EQ(tool.out.substr(start + summary_end.size()), expected);
  EXPECT_TRUE(modes_restored(tool));
  EXPECT_TRUE(port_free(unit));
  stop_unit(unit);
  // Only the unlock line went out, once per attempt; nothing after the ESC.
  std::string sent;
  for (int i = 0; i < attempts; ++i) {
    sent += "\r958:1\r\r";
  }
  EXPECT_EQ(wire(unit), sent);
}

TEST(Faults, UnitUnpluggedMidRunCostsNoCpuAndEscStillEnds) {
  Unit unit;
  start_unit(unit, {"--hangup", "40"});  // gone after the sixth line
  Tool tool;
  tool.errors = Errors::kOwn;
  std::vector<std::string> args = usual_args(unit);
  args[7] = "200";  // lines apart, so the unit hangs up well after the first echo
  start_tool(tool, args);
  // The tool keeps its lock file on the gone unit's device: holding the device keeps its
  // number from the other tests running meanwhile, once the tool has it (it refuses a port
  // held when it starts).
  ASSERT_TRUE(wait_output(tool, "Done\n"));
  const int held = open(unit.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_TRUE(wait_output(tool, kFailed));
  const double cpu_before = cpu_seconds(tool.pid);
  ASSERT_TRUE(wait_output(tool, kFailed, tool.out.rfind(kFailed) + 1));
  const double cpu_used = cpu_seconds(tool.pid) - cpu_before;
  // A second of retries: a spinning wait would burn all of it.
  EXPECT_LT(cpu_used, 0.1);
  type(tool, "\x1b");
  EXPECT_EQ(wait_exit(tool), 2);
  EXPECT_NE(tool.out.find("User abort\n!! Failed !!\n"), std::string::npos);
  EXPECT_EQ(tool.err,
            "quorvel-setup: " + unit.path + ": the port has gone; plug it back in, or press ESC\n");
  EXPECT_TRUE(modes_restored(tool));
  stop_unit(unit);
  close(held);
}

TEST(Faults, SignalsEndTheRunAndGiveBackTerminalAndPort) {
  const struct {
    const char* name;
    const char* keys;  // typed; empty: `signal_number` sent with kill; "|": output pipe closed
    int signal_number;
    bool dialogue;
  } cases[] = {
      {"Ctrl-C during the exchange", "\x03", SIGINT, false},
      {"Ctrl-\\ during the exchange", "\x1c", SIGQUIT, false},
      {"output pipe closed during the exchange", "|", SIGPIPE, false},
      {"SIGTERM during the exchange", "", SIGTERM, false},
      {"SIGHUP during the exchange", "", SIGHUP, false},
      {"Ctrl-C at a prompt", "\x03", SIGINT, true},
      {"SIGTERM at a prompt", "", SIGTERM, true},
      {"SIGHUP at a prompt", "", SIGHUP, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unit unit;
    start_unit(unit, {"--silent"});
    Tool tool;
    if (c.dialogue) {
      start_tool(tool, {});
      ASSERT_TRUE(wait_output(tool, "[ COM1]: "));
      type(tool, "COM");
      ASSERT_TRUE(wait_output(tool, "[ COM1]: COM"));
    } else {
      start_tool(tool, usual_args(unit));
      ASSERT_TRUE(wait_output(tool, kUnlockLabel));  // waiting for an echo that never comes
    }
    if (c.keys[0] == '|') {
      close_output(tool);
    } else if (c.keys[0] != '\0') {
      type(tool, c.keys);
    } else {
      kill(tool.pid, c.signal_number);
    }
    EXPECT_EQ(wait_exit(tool), 128 + c.signal_number);
    EXPECT_TRUE(modes_restored(tool));
    EXPECT_TRUE(port_free(unit));
    stop_unit(unit);
  }
}

TEST(Faults, CtrlZStopsTheRunWithTheTerminalGivenBackAndItGoesOnWhenContinued) {
  // As a shell's foreground job, so that the stop is real: while stopped the terminal has its
  // own modes back (the shell's prompt must work) and a run in its exchange keeps its port;
  // continued, the tool takes raw mode again and the run goes on to its end.
  const struct {
    const char* name;
    bool dialogue;
  } cases[] = {{"at the first prompt", true}, {"during the exchange", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unit unit;
    start_unit(unit,
               c.dialogue ? std::vector<std::string>{} : std::vector<std::string>{"--silent"});
    Options options;
    options.job_control = true;
    options.fake_time = "2009-12-07 12:30:00";
    Tool tool;
    start_tool(tool, c.dialogue ? std::vector<std::string>{} : usual_args(unit), options);
    ASSERT_TRUE(wait_output(tool, c.dialogue ? kFirstPrompt : kFailed));
    ASSERT_TRUE(wait_modes(tool, false));  // raw
    type(tool, "\x1a");
    ASSERT_TRUE(wait_stopped(tool));
    EXPECT_TRUE(modes_restored(tool));
    EXPECT_EQ(exclusive(unit), !c.dialogue);
    ASSERT_EQ(kill(-tool.pid, SIGCONT), 0);
    EXPECT_TRUE(wait_modes(tool, false));
    if (c.dialogue) {
      // A key shows at once again, without Enter; then the other answers take the defaults.
      type(tool, "Q");
      ASSERT_TRUE(wait_output(tool, std::string(kFirstPrompt) + "Q"));
      type(tool, "\b" + unit.path + "\r" + std::string(16, '\r'));
      EXPECT_EQ(wait_exit(tool), 0);
      EXPECT_NE(tool.out.find(kAllDoneText), std::string::npos) << tool.out;
      Settings s = usual_settings(unit);
      s.line_ms = 50;
      s.out1[1] = 255;
      s.out2[1] = 255;
      EXPECT_EQ(stop_unit(unit), loaded_state(s));
    } else {
      const std::size_t resumed_at = tool.out.size();
      ASSERT_TRUE(wait_output(tool, kFailed, resumed_at));  // it resends again
      type(tool, "\x1b");
      EXPECT_EQ(wait_exit(tool), 2);
      EXPECT_NE(tool.out.find("User abort\n!! Failed !!\n", resumed_at), std::string::npos);
      EXPECT_TRUE(port_free(unit));
    }
    EXPECT_TRUE(modes_restored(tool));
  }
}

TEST(Faults, IdlePromptCostsNoCpu) {
  Tool tool;
  start_tool(tool, {});
  ASSERT_TRUE(wait_output(tool, "[ COM1]: "));
  const double before = cpu_seconds(tool.pid);
  EXPECT_FALSE(wait_output(tool, "never printed", 0, 1500));
  EXPECT_LT(cpu_seconds(tool.pid) - before, 0.05);
  type(tool, "\x1b");
  EXPECT_EQ(wait_exit(tool), 1);
}

}  // namespace
}  // namespace e2e
