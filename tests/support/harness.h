// Starts the real programs as a technician meets them: the tool with its keyboard on a
// pseudo-terminal (or a pipe) and its output captured, each run in a private mount namespace
// whose /run/lock is a folder of the run's own, and the simulated unit on a pseudo-terminal of
// its own. Shared by the end-to-end runner and the benchmark. Its own
// troubles (a pipe that cannot be made, a unit that does not start) go to standard error.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

constexpr int kDeadlineMs = 30000;  // generous: valgrind and sanitizers are slow
using Clock = std::chrono::steady_clock;

// The programs run: the tool (QUORVEL_TEST_TOOL's when set: a Windows build run through the
// wrapper, for one, else the one built here), the simulated unit, and the words put in front of
// the tool (wine, valgrind ...: QUORVEL_TEST_WRAPPER's).
struct Programs {
  std::string tool, sim, wrapper;
};
Programs& programs();
inline const std::string& tool_path() {
  return programs().tool;
}

// Stopped and its folder removed when it goes out of scope.
struct Unit {
  ~Unit();
  pid_t pid = -1;
  int log_fd = -1;
  // Its private temp folder (the wire file, the link), where it serves its port, the name the
  // tool is to be given for it, and everything it printed so far.
  std::string dir, path, port, log;
  std::vector<Clock::time_point> line_times;  // when each "line" log line came
};

// Starts quorvel-sim with `options`, serving `link` (empty: "unit" in its folder). Returns true
// on failure.
bool start_unit(Unit& unit, const std::vector<std::string>& options = {},
                const std::string& link = "");
// Reads the unit's log until it holds `text` `times` times; false on the deadline or its end.
bool wait_log(Unit& unit, const std::string& text, int times = 1, int deadline_ms = kDeadlineMs);
// How many times `text` is in `in`.
int occurrences(const std::string& in, const std::string& text);
// Ends the unit: SIGTERM, then SIGKILL at the deadline.
void stop_unit(Unit& unit);

struct Options {
  // The keyboard: "" a terminal; "screen" a terminal that standard output and error go to
  // as well, as in a console; "pipe" a pipe; any other text the regular file of that name.
  std::string keys;
  std::string fake_time;   // local time the program sees ("2009-12-07 12:30:00" UTC); "": real
  std::string lock_dir;    // the folder the run sees as /run/lock; "": a fresh one, 01777
  bool as_nobody = false;  // the run drops to the user nobody (after the lock folder's mount)
  // When set, the tool runs as "$@" of `bash -c shell` with job control, bash leading the
  // keyboard terminal's session as a technician's shell does; bash's own standard error is
  // the terminal, the tool's is on descriptor 4 ("$@" 2>&4).
  std::string shell;
};

// Killed, with its process group, if still running when it goes out of scope.
struct Tool {
  ~Tool();
  pid_t pid = -1;
  int pid_fd = -1;    // readable once the process has ended
  int keys_fd = -1;   // pty master, or the write end of the pipe
  int slave_fd = -1;  // the test's own descriptor on the keyboard terminal, for its modes
  int out_fd = -1;    // standard output's pipe, or with `screen` the pty master
  int err_fd = -1;    // standard error's pipe
  // Standard output (everything the terminal shows with `screen`), standard error, and the
  // run's own folder (the lock folder unless the caller gives one, the tool's copy for nobody),
  // removed with it.
  std::string out, err, dir;
  termios modes_before{};
  Clock::time_point started{}, ended{};
  rusage usage{};  // its CPU, once it has ended
};

// Starts quorvel-setup with `args`. Returns true on failure, also when an argument names a real
// device of this machine (tests use pseudo-terminals and /dev/null only).
bool start_tool(Tool& tool, const std::vector<std::string>& args, const Options& options = {});
// Reads what the tool writes (when given) and the unit's log (when given) until done() holds,
// the deadline passes or, with `to_end`, the tool's standard output (else the log) has ended.
// Returns done().
bool until(Tool* tool, Unit* unit, int deadline_ms, const std::function<bool()>& done,
           bool to_end = true);
// Reads output until it holds `text` after `from`; false on the deadline or its end.
bool wait_output(Tool& tool, const std::string& text, std::size_t from = 0,
                 int deadline_ms = kDeadlineMs, Unit* unit = nullptr);
void type(Tool& tool, const std::string& keys);
// Waits for the end; returns the exit status, 128 + signal when killed, -1 on the deadline
// (the process group is then killed).
int wait_exit(Tool& tool, int deadline_ms = kDeadlineMs, Unit* unit = nullptr);
// True when the keyboard terminal's modes are as they were before the tool started.
bool modes_restored(const Tool& tool);

}  // namespace e2e
