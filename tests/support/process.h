// The harness's plumbing: reading what children write without ever blocking them, starting
// them, and its own failure reports. For the harness's sources only.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

namespace e2e {

struct Tool;

// Hands `what` to the failure hook. Returns true, for `return fail(...)` in a failure flag.
bool fail(const std::string& what);

// Whether deadline_ms have not yet passed since `start` on the monotonic clock.
bool before(std::chrono::steady_clock::time_point start, int deadline_ms);

// Appends what is readable now (waiting up to timeout_ms); false at end of file.
bool pump(int fd, std::string& into, int timeout_ms);
// Like pump, but also returns as soon as end_fd (a process descriptor) becomes readable, and
// only sleeps on end_fd when fd is -1.
bool pump_until_end(int fd, std::string& into, int end_fd, int timeout_ms);
// Throws away whatever is readable on fd now; -1 is ignored.
void drain(int fd);

// In a child: runs words[0] with the words as arguments, and with *env as the whole
// environment unless env is null. Only returns, as exit 127, when that fails.
[[noreturn]] void exec_words(const std::vector<std::string>& words,
                             const std::vector<std::string>* env);

// What start_job needs: the pipe ends the tool writes to and the one the leader reports on
// (the caller makes both ends of each, close-on-exec, and closes these after the start).
struct JobStart {
  const char* terminal = nullptr;  // the keyboard terminal's slave, to become controlling
  const std::vector<std::string>* argv = nullptr;
  const std::vector<std::string>* env = nullptr;
  int out_fd = -1;
  int err_fd = -1;
  int report_fd = -1;
  int status_read_fd = -1;  // the caller's end of the report pipe, and
  int master_fd = -1;       // the terminal's master: the leader must hold neither
};

// Forks a new session leader that runs argv as its foreground job; it writes the job's pid on
// report_fd, then each wait status of the job (stopped, continued, ended), and ends after the
// last. Returns the leader's pid (-1 when the fork failed).
pid_t start_job(const JobStart& start);

constexpr int kNoJobStatus = -1;  // nothing within the timeout
constexpr int kJobGone = -2;      // the leader has ended and said all
// The next int the leader wrote: the job's pid first, then wait statuses.
int read_job_status(int report_fd, int timeout_ms);

// start_tool's part for Options::job_control, with the command, environment and output pipes it
// has made. Returns true on failure.
bool start_as_job(Tool& tool, const std::string& terminal, const std::vector<std::string>& argv,
                  const std::vector<std::string>& env, const std::array<int, 2>& out,
                  const std::array<int, 2>& err);

}  // namespace e2e
