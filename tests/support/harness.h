// Runs the real program as a technician meets it: its keyboard on a pseudo-terminal (or a pipe),
// its output captured, and the simulated unit on another pseudo-terminal. Shared by the
// end-to-end tests and the benchmark; it judges nothing itself, and reports its own troubles
// (a unit that does not start, a pipe that cannot be made) through the failure hook.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <vector>

#include "expected.h"

namespace e2e {

constexpr int kDeadlineMs = 30000;  // generous: valgrind and sanitizers are slow

// Where the harness's own failures go: standard error until a hook is set (the tests make
// them test failures).
using FailureHook = void (*)(const std::string& what);
void set_failure_hook(FailureHook hook);

// The programs run: built-in paths unless set here; QUORVEL_TEST_TOOL, when set, names the
// tool instead (a Windows build run through QUORVEL_TEST_WRAPPER, for one).
void set_programs(const std::string& tool, const std::string& sim);
// The words put in front of the tool (wine, valgrind ...), instead of QUORVEL_TEST_WRAPPER's;
// "" for none.
void set_wrapper(const std::string& words);
const std::string& tool_path();
const std::string& sim_path();

// Stopped and its directory removed when it goes out of scope, also after a failed assertion.
struct Unit {
  ~Unit();
  pid_t pid = -1;
  int log_fd = -1;
  std::string dir;   // private temp directory
  std::string path;  // where the unit serves its port
  std::string port;  // the name the tool is to be given for it
  std::string log;   // everything the unit printed so far
};

// Where a unit serves its port, and the name the tool knows it by, when a test wants other
// than a link in the unit's directory given to the tool as it is.
struct UnitPlace {
  std::string link;  // empty: "unit" in the unit's directory
  std::string port;  // empty: the link itself
};

// Starts quorvel-sim with its link and wire file, plus `options`. Returns true on failure.
bool start_unit(Unit& unit, const std::vector<std::string>& options = {},
                const UnitPlace& place = {});
// Ends the unit (SIGTERM), returns its final state ("clock ... out2 ...").
std::string stop_unit(Unit& unit);
// The bytes the unit received.
std::string wire(const Unit& unit);
// Adds to unit.log what the unit logs within timeout_ms, returning as soon as something came:
// the number of whole lines that came, or -1 once its log has ended.
int take_unit_log(Unit& unit, int timeout_ms);

enum class Keyboard { kTerminal, kPipe };

using Clock = std::chrono::steady_clock;

// Killed if still running when it goes out of scope.
struct Tool {
  ~Tool();
  pid_t pid = -1;
  int pid_fd = -1;    // readable once the tool has ended
  int keys_fd = -1;   // pty master, or the write end of the pipe
  int slave_fd = -1;  // the test's own descriptor on the keyboard terminal, for its modes
  bool screen = false;
  int out_fd = -1;
  std::string out;  // standard output only, or everything the terminal shows with `screen`
  int err_fd = -1;
  std::string err;  // standard error, collected beside it
  termios modes_before{};
  Clock::time_point started{};  // just before the start
  Clock::time_point ended{};    // when its end was seen
  rusage usage{};               // its CPU, once it has ended
};

struct Options {
  Keyboard keyboard = Keyboard::kTerminal;
  // Standard output and error on the keyboard terminal too, as in a console window.
  bool screen = false;
  // Local time the program sees ("2009-12-07 12:30:00" in UTC); empty: the real clock.
  std::string fake_time;
};

// Starts quorvel-setup with `args` (argv[0] is its path). Returns true on failure.
bool start_tool(Tool& tool, const std::vector<std::string>& args, const Options& options = {});
// Reads output until it contains `text` after `from`; false on the deadline.
bool wait_output(Tool& tool, const std::string& text, std::size_t from = 0,
                 int deadline_ms = kDeadlineMs);
// Reads output for `ms` milliseconds, or until it ends.
void read_output_for(Tool& tool, int ms);
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
// CPU seconds the process has used so far: the scheduler's nanosecond count where the kernel
// keeps one (then *fine is set true), else user + system clock ticks. -1 when unreadable.
double cpu_seconds(pid_t pid, bool* fine = nullptr);
// Runs the tool to its end with no keys; returns the status.
int run(Tool& tool, const std::vector<std::string>& args, const Options& options = {});

}  // namespace e2e
