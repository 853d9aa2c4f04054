// Runs the real program as a technician meets it: its keyboard on a pseudo-terminal (or a pipe),
// its output captured, and the simulated unit on another pseudo-terminal.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

namespace e2e {

constexpr int kDeadlineMs = 30000;  // generous: valgrind and sanitizers are slow

// Stopped and its directory removed when it goes out of scope, also after a failed assertion.
struct Unit {
  ~Unit();
  pid_t pid = -1;
  int log_fd = -1;
  std::string dir;   // private temp directory
  std::string path;  // what the tool opens
  std::string log;   // everything the unit printed so far
};

// Starts quorvel-sim with its link and wire file in a fresh directory, plus `options`.
void start_unit(Unit& unit, const std::vector<std::string>& options = {});
// Ends the unit (SIGTERM), returns its final state ("clock ... out2 ...").
std::string stop_unit(Unit& unit);
// The bytes the unit received.
std::string wire(const Unit& unit);

enum class Keyboard { kTerminal, kPipe };

// Killed if still running when it goes out of scope.
struct Tool {
  ~Tool();
  pid_t pid = -1;
  int keys_fd = -1;   // pty master, or the write end of the pipe
  int slave_fd = -1;  // the test's own descriptor on the keyboard terminal, for its modes
  int out_fd = -1;
  std::string out;  // standard output only
  int err_fd = -1;
  std::string err;  // standard error, collected beside it
  termios modes_before{};
};

struct Options {
  Keyboard keyboard = Keyboard::kTerminal;
  // Local time the program sees ("2009-12-07 12:30:00" in UTC); empty: the real clock.
  std::string fake_time;
};

// Starts quorvel-setup with `args` (argv[0] is its path).
void start_tool(Tool& tool, const std::vector<std::string>& args, const Options& options = {});
// Reads output until it contains `text` after `from`; false on the deadline.
bool wait_output(Tool& tool, const std::string& text, std::size_t from = 0,
                 int deadline_ms = kDeadlineMs);
// Adds what the tool has written to standard error to tool.err, waiting up to timeout_ms for
// each piece; stops at the end of that pipe or when nothing more comes in time.
void take_errors(Tool& tool, int timeout_ms);
// Counts the occurrences of text in the output so far.
int count(const Tool& tool, const std::string& text);
void type(Tool& tool, const std::string& keys);
// Closes the reading end of the tool's output, as a pager that quit would.
void close_output(Tool& tool);
// Closes the keyboard pipe (end of input).
void close_keys(Tool& tool);
// Waits for the end; returns the exit status, 128 + signal when killed, -1 on the deadline
// (the tool is then killed).
int wait_exit(Tool& tool, int deadline_ms = kDeadlineMs);
// True when the keyboard terminal's modes are as they were before the tool started.
bool modes_restored(const Tool& tool);
// CPU seconds (user + system) the process has used so far.
double cpu_seconds(pid_t pid);
// Runs the tool to its end with no keys; returns the status.
int run(Tool& tool, const std::vector<std::string>& args, const Options& options = {});

const std::string& tool_path();

// The summary and the verdict as the tool prints them for a run that succeeds everywhere.
struct Settings {
  std::string port;
  unsigned baud = 9600, char_ms = 0, line_ms = 50;
  unsigned hour = 12, minute = 30, second = 0, day = 7, month = 12, year = 9;
  unsigned out1[3] = {0, 100, 0};
  unsigned out2[4] = {0, 100, 0, 0};
};
std::string summary(const Settings& s);
std::string sixteen_done();
// The exact bytes a clean run puts on the wire for these settings.
std::string clean_wire(const Settings& s);
// The unit's state once loaded with these settings and locked again.
std::string loaded_state(const Settings& s);

}  // namespace e2e
