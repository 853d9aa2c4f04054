// Lock files and the reasons a port will not open: what the technician reads on standard
// output (unchanged) and on standard error (one line: what was wrong, what to do), and which
// lock files are left behind.
#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

std::vector<std::string> args_for(const std::string& port) {
  return {"-c", port, "-t", "12:30:00", "-d", "7\\12\\2009", "-l", "0"};
}

std::string refusal(const std::string& port) {
  return "Quorvel Setup\n\n! Unable to open COM port: " + port + ", 9600\n";
}

std::string device_of(const std::string& path) {
  std::array<char, PATH_MAX> device{};
  return realpath(path.c_str(), device.data()) != nullptr ? device.data() : "";
}

std::string lock_for(const std::string& path) {
  return lock_dir() + "/LCK.." + path.substr(path.rfind('/') + 1);
}

// A lock of the test's directory as the tool names it: the tool sees that as /run/lock.
std::string seen(const std::string& lock) {
  return "/run/lock" + lock.substr(lock_dir().size());
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::string pid_text(long pid) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "%10ld\n", pid);
  return text.data();
}

// A PID that no process has: a child that has already been reaped.
long dead_pid() {
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  return child;
}

// Removes a lock file or whatever a test put in its place, also after a failed assertion.
struct Planted {
  explicit Planted(std::string where) : path(std::move(where)) {}
  ~Planted() {
    if (rmdir(path.c_str()) != 0) {
      unlink(path.c_str());
    }
  }
  std::string path;
};

void plant(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Standard error holds exactly one line: "quorvel-setup: " and the expected beginning.
void expect_one_reason(const Tool& tool, const std::string& beginning) {
  EXPECT_EQ(tool.err.rfind("quorvel-setup: " + beginning, 0), 0U) << tool.err;
  EXPECT_EQ(tool.err.find('\n'), tool.err.size() - 1) << tool.err;
}

TEST(PortLock, LiveLockRefusesThePort) {
  // Under the device's name, as minicom writes it, and under the name the port was given by,
  // which may hold bytes that must never reach the terminal as they are.
  const struct {
    const char* name;
    std::string given;  // empty: the device itself
    std::string shown;  // the given name as the reason quotes it
  } cases[] = {
      {"lock under the device's name", "", ""},
      {"lock under the given name", "qv-given", "qv-given"},
      {"a given name with control bytes", "qv-\x1b[2J", "qv-\\x1b[2J"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unit unit;
    start_unit(unit, {});
    const std::string suffix = "-" + std::to_string(getpid());
    const std::string port = c.given.empty() ? unit.path : unit.dir + "/" + c.given + suffix;
    const std::string shown = c.given.empty() ? unit.path : unit.dir + "/" + c.shown + suffix;
    if (!c.given.empty()) {
      ASSERT_EQ(symlink(device_of(unit.path).c_str(), port.c_str()), 0);
    }
    Planted lock(lock_for(c.given.empty() ? device_of(unit.path) : port));
    const std::string held = pid_text(getpid());
    plant(lock.path, held);
    Tool tool;
    EXPECT_EQ(run(tool, args_for(port)), 1);
    EXPECT_EQ(tool.out, refusal(port));
    const std::string lock_shown =
        seen(c.given.empty() ? lock.path : lock_dir() + "/LCK.." + c.shown + suffix);
    expect_one_reason(tool, shown + ": in use by another program (PID " + std::to_string(getpid()) +
                                ", e2e_tests; lock file " + lock_shown + ")");
    EXPECT_EQ(read_all(lock.path), held);  // someone else's lock is never touched
    stop_unit(unit);
    EXPECT_EQ(wire(unit), "");
    unlink(port.c_str());
  }
}

TEST(PortLock, LockThatIsNotAPidIsRefusedAndLeftAlone) {
  const struct {
    const char* name;
    std::string content;  // "LINK": a symbolic link to a file; "DIR": a directory
  } cases[] = {
      {"a symbolic link", "LINK"},
      {"a directory", "DIR"},
      {"text", "hello\n"},
      {"an empty file", ""},
      {"a binary PID", std::string("\x01\x02\x00\x00", 4)},
      {"a PID and more", "  1234\nx"},
      {"a PID and control bytes", "  1234 \x1b[2J\n"},
      {"a long text after a PID", "  1234 " + std::string(80, 'x') + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unit unit;
    start_unit(unit, {});
    Planted lock(lock_for(device_of(unit.path)));
    const std::string target = unit.dir + "/precious";
    plant(target, "keep me\n");
    const std::string& content = c.content;
    if (content == "LINK") {
      ASSERT_EQ(symlink(target.c_str(), lock.path.c_str()), 0);
    } else if (content == "DIR") {
      ASSERT_EQ(mkdir(lock.path.c_str(), 0755), 0);
    } else {
      plant(lock.path, content);
    }
    Tool tool;
    EXPECT_EQ(run(tool, args_for(unit.path)), 1);
    EXPECT_EQ(tool.out, refusal(unit.path));
    expect_one_reason(tool, unit.path + ": locked by " + seen(lock.path) +
                                ", which is not a lock file holding a PID");
    EXPECT_TRUE(exists(lock.path));
    EXPECT_EQ(read_all(target), "keep me\n");
    unlink(target.c_str());
  }
}

TEST(PortLock, MinicomsLockIsReadForItsPid) {
  // minicom writes its name and the user's after the PID.
  const auto minicom_lock = [](long pid) {
    return pid_text(pid).substr(0, 10) + " minicom root\n";
  };
  {
    SCOPED_TRACE("minicom running");
    Unit unit;
    start_unit(unit, {});
    Planted lock(lock_for(device_of(unit.path)));
    plant(lock.path, minicom_lock(getpid()));
    Tool tool;
    EXPECT_EQ(run(tool, args_for(unit.path)), 1);
    EXPECT_EQ(tool.out, refusal(unit.path));
    expect_one_reason(tool, unit.path + ": in use by another program (PID " +
                                std::to_string(getpid()) + ", e2e_tests; lock file " +
                                seen(lock.path) + ")");
    EXPECT_EQ(read_all(lock.path), minicom_lock(getpid()));
  }
  {
    SCOPED_TRACE("minicom gone");
    Unit unit;
    start_unit(unit, {});
    Planted lock(lock_for(device_of(unit.path)));
    plant(lock.path, minicom_lock(dead_pid()));
    Tool tool;
    EXPECT_EQ(run(tool, args_for(unit.path)), 0);
    EXPECT_NE(tool.out.find("All done without errors\n"), std::string::npos) << tool.out;
    EXPECT_EQ(tool.err, "");
    EXPECT_FALSE(exists(lock.path));
  }
}

TEST(PortLock, StaleLockIsTakenOverAndTheOwnLockGoesOnEveryWayOut) {
  const struct {
    const char* name;
    const char* keys;   // typed during the exchange
    int signal_number;  // or sent
    int status;
  } cases[] = {
      {"ESC", "\x1b", 0, 2},
      {"Ctrl-C", "\x03", 0, 128 + SIGINT},
      {"SIGTERM", "", SIGTERM, 128 + SIGTERM},
      {"SIGHUP", "", SIGHUP, 128 + SIGHUP},
      {"SIGXCPU, a time limit", "", SIGXCPU, 128 + SIGXCPU},
      {"SIGABRT, the program's own crash", "", SIGABRT, 128 + SIGABRT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unit unit;
    start_unit(unit, {"--silent"});
    Planted lock(lock_for(device_of(unit.path)));
    plant(lock.path, pid_text(dead_pid()));
    const termios found = set_other_line(unit);
    Tool tool;
    start_tool(tool, args_for(unit.path));
    ASSERT_TRUE(wait_output(tool, kStepLabels[0]));  // the port is open, the exchange on
    EXPECT_EQ(read_all(lock.path), pid_text(tool.pid));
    // A second run is told who has the port.
    Tool second;
    EXPECT_EQ(run(second, args_for(unit.path)), 1);
    expect_one_reason(second, unit.path + ": in use by another program (PID " +
                                  std::to_string(tool.pid) + ", quorvel-setup; lock file " +
                                  seen(lock.path) + ")");
    if (c.keys[0] != '\0') {
      type(tool, c.keys);
    } else {
      kill(tool.pid, c.signal_number);
    }
    EXPECT_EQ(wait_exit(tool), c.status);
    EXPECT_FALSE(exists(lock.path));
    EXPECT_TRUE(modes_restored(tool));
    EXPECT_FALSE(changed_line(unit, found));  // the port's settings given back as found
  }
}

TEST(PortLock, GoodRunHoldsItsLockAndSaysNothingOnStandardError) {
  Unit unit;
  start_unit(unit, {});
  Planted lock(lock_for(device_of(unit.path)));
  plant(lock.path, pid_text(dead_pid()));
  const termios found = set_other_line(unit);
  Tool tool;
  EXPECT_EQ(run(tool, args_for(unit.path)), 0);
  EXPECT_FALSE(changed_line(unit, found));
  Settings s;
  s.port = unit.path;
  s.line_ms = 0;
  EXPECT_EQ(tool.out, "Quorvel Setup\n" + summary(s) + sixteen_done());
  EXPECT_EQ(tool.err, "");
  EXPECT_FALSE(exists(lock.path));
  EXPECT_EQ(stop_unit(unit), loaded_state(s));
}

TEST(OpenFailure, EachReasonOnOneLineOfStandardError) {
  const struct {
    const char* port;
    const char* reason;
  } cases[] = {
      {"/etc/passwd", "/etc/passwd: not a serial port"},
      {"/dev/null", "/dev/null: not a serial port"},
      {"/tmp", "/tmp: not a serial port"},
      {"/dev/ttyQQ9", "/dev/ttyQQ9: no such port"},
      {"COM3",
       "COM3: no such port; on Linux ports are named /dev/ttyUSB0, /dev/ttyACM0, "
       "/dev/ttyS0 ..."},
      {"com12", "com12: no such port; on Linux ports are named"},
      {"/dev/tty\x1b[2J", "/dev/tty\\x1b[2J: no such port"},  // never the terminal's own codes
      {"/dev/stdin", "/dev/stdin: this is the terminal the program runs in, not a serial port"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.port);
    Tool tool;
    EXPECT_EQ(run(tool, args_for(c.port)), 1);
    EXPECT_EQ(tool.out, refusal(c.port));
    EXPECT_EQ(tool.err.rfind(std::string("quorvel-setup: ") + c.reason, 0), 0U) << tool.err;
    // One line, or three at most where a list of ports follows.
    int lines = 0;
    for (const char ch : tool.err) {
      lines += ch == '\n' ? 1 : 0;
    }
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, 3);
    EXPECT_EQ(tool.err.back(), '\n');
  }
  // Nothing was locked on the way.
  EXPECT_FALSE(exists(lock_dir() + "/LCK..passwd"));
  EXPECT_FALSE(exists(lock_dir() + "/LCK..null"));
}

TEST(OpenFailure, PortClaimedByAnotherProgramNamesIt) {
  // Another program holding the port, without a lock file: with its flock (as screen does), or
  // only open (a getty, a script, cat), its settings left as they are.
  for (const bool with_flock : {true, false}) {
    SCOPED_TRACE(with_flock ? "flock" : "only open");
    Unit unit;
    start_unit(unit, {});
    const termios found = set_other_line(unit);
    const int fd = open(unit.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(!with_flock || flock(fd, LOCK_EX | LOCK_NB) == 0);
    Tool tool;
    EXPECT_EQ(run(tool, args_for(unit.path)), 1);
    EXPECT_EQ(tool.out, refusal(unit.path));
    expect_one_reason(tool, unit.path + ": in use by another program (PID " +
                                std::to_string(getpid()) + ", e2e_tests)");
    EXPECT_FALSE(changed_line(unit, found));
    close(fd);
    EXPECT_FALSE(exists(lock_for(device_of(unit.path))));
  }
}

TEST(OpenFailure, NoTestHandsTheToolARealDevice) {
  // A run on a real port would raise its lines and send to whatever hangs on it.
  static Tool tool;
  EXPECT_NONFATAL_FAILURE(start_tool(tool, {"-c", "/dev/tty"}), "the real device /dev/tty");
  EXPECT_EQ(tool.pid, -1);
}

}  // namespace
}  // namespace e2e
