// Runs the real program as a technician meets it: its keyboard on a pseudo-terminal (or a pipe),
// its output captured, and the simulated unit on another pseudo-terminal. Shared by the
// end-to-end tests and the benchmark. It reports its own troubles (a unit that does not start,
// a pipe that cannot be made, a process that does not end by its deadline) through the failure
// hook, and so too what every run must keep to whatever its test: standard error as the tool's
// errors rule says (Tool::errors).
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

// The lock directory every run of the tool is given in place of /run/lock: private to this
// test process, writable by anyone like the real one, made on first use and removed with what
// is left in it at exit. No test touches or depends on the machine's own lock files.
const std::string& lock_dir();

// In a child about to exec the tool: a mount namespace of its own in which `dir` stands in for
// /run/lock (and for /var/lock where that is a directory of its own), as the tool knows no
// other lock directories. Needs root; ends the child with status 126 when it cannot be done, so
// that no test ever touches the machine's own locks.
void use_private_locks(const std::string& dir);

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
// Ends the unit (SIGTERM; SIGKILL to its process group, and a failure, when it has not ended by
// the deadline), returns its final state ("clock ... out2 ...").
std::string stop_unit(Unit& unit, int deadline_ms = kDeadlineMs);
// The bytes the unit received.
std::string wire(const Unit& unit);
// Sets the unit's port to 4800 bit/s with echo and line editing, as another program may have
// left it, and returns those settings; `changed_line` tells whether the port's settings now
// differ from them (in speed or any mode flag), as a new program finds them.
termios set_other_line(const Unit& unit);
bool changed_line(const Unit& unit, const termios& expected);
// Adds to unit.log what the unit logs within timeout_ms, returning as soon as something came:
// the number of whole lines that came, or -1 once its log has ended.
int take_unit_log(Unit& unit, int timeout_ms);

enum class Keyboard { kTerminal, kPipe };

using Clock = std::chrono::steady_clock;

// What standard error must hold once the tool has ended; wait_exit checks it for every run.
enum class Errors {
  // By the outcome: nothing after exit status 0 or 2 or a signal; after status 1 one line, the
  // program's name first (up to three when it lists the serial ports), or nothing when the last
  // key typed was ESC (the operator's own choice needs no word). Other statuses are not judged.
  kUsual,
  kNone,    // nothing, whatever the status
  kReason,  // one reason line as after status 1, whatever the status
  kOwn,     // the test judges tool.err itself
};

// Killed, with its process group, if still running when it goes out of scope.
struct Tool {
  ~Tool();
  Errors errors = Errors::kUsual;
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
  bool esc_last = false;        // the last key typed was ESC
  pid_t leader = -1;            // with job_control: the session leader the tool runs under
  int job_fd = -1;              // where that leader reports the tool's stops and its end
  int job_end = -1;             // the tool's wait status once a wait saw it end, else -1
};

struct Options {
  Keyboard keyboard = Keyboard::kTerminal;
  // Standard output and error on the keyboard terminal too, as in a console window.
  bool screen = false;
  // Local time the program sees ("2009-12-07 12:30:00" in UTC); empty: the real clock.
  std::string fake_time;
  // As a shell runs a foreground job: under a session leader of its own on the keyboard
  // terminal, in a process group that is not orphaned, so Ctrl-Z really stops it (other runs
  // lead their own session, and the kernel discards a stop of an orphaned group). The keyboard
  // must be the terminal, and the output not on it.
  bool job_control = false;
};

// Starts quorvel-setup with `args` (argv[0] is its path). Returns true on failure, also when
// an argument names a real device of this machine (pseudo-terminals and /dev/null only).
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
// (the tool's process group is then killed). Then checks standard error by tool.errors.
int wait_exit(Tool& tool, int deadline_ms = kDeadlineMs);
// With job_control: waits until the tool has stopped (Ctrl-Z), reading output meanwhile; false
// when it ended or the deadline came first. SIGCONT to -tool.pid continues it.
bool wait_stopped(Tool& tool, int deadline_ms = kDeadlineMs);
// Waits until the keyboard terminal's modes are as before the start (`restored`) or are not;
// false on the deadline.
bool wait_modes(Tool& tool, bool restored, int deadline_ms = kDeadlineMs);
// True when the keyboard terminal's modes are as they were before the tool started.
bool modes_restored(const Tool& tool);
// CPU seconds the process has used so far: the scheduler's nanosecond count where the kernel
// keeps one (then *fine is set true), else user + system clock ticks. -1 when unreadable.
double cpu_seconds(pid_t pid, bool* fine = nullptr);
// Runs the tool to its end with no keys; returns the status.
int run(Tool& tool, const std::vector<std::string>& args, const Options& options = {});

}  // namespace e2e
