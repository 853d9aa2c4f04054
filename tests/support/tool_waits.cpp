// Reading what the tool writes while it runs, typing at it, and waiting for its stops and its
// end, each within a deadline; then the checks every run must pass.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "harness.h"
#include "process.h"

namespace e2e {
namespace {

// What the pseudo-terminal echoes to its master before the tool takes raw mode is not output,
// unless the terminal is the tool's screen.
void drain_keyboard(Tool& tool) {
  if (tool.slave_fd >= 0 && !tool.screen) {
    drain(tool.keys_fd);
  }
}

// A wait status for a tool whose session leader went away without saying how it ended.
constexpr int kLeaderLost = 255 << 8;

// Whether the tool has ended, its wait status then in `status`. Never blocks.
bool reaped(Tool& tool, int& status) {
  if (tool.leader < 0) {
    return wait4(tool.pid, &status, WNOHANG, &tool.usage) == tool.pid;
  }
  while (tool.job_end < 0) {
    const int change = read_job_status(tool.job_fd, 0);
    if (change == kNoJobStatus) {
      return false;
    }
    if (change == kJobGone || WIFEXITED(change) || WIFSIGNALED(change)) {
      tool.job_end = change == kJobGone ? kLeaderLost : change;
    }
  }
  status = tool.job_end;
  // The leader ends as soon as it has told; its usage holds the tool's, which it waited for.
  wait4(tool.leader, nullptr, 0, &tool.usage);
  tool.leader = -1;
  return true;
}

// After SIGKILL to the tool: waits for its end, so nothing is left behind.
void reap_killed(Tool& tool) {
  if (tool.leader < 0) {
    wait4(tool.pid, nullptr, 0, &tool.usage);
    return;
  }
  int status = 0;
  for (const auto start = Clock::now(); !reaped(tool, status) && before(start, kDeadlineMs);) {
    poll(nullptr, 0, 10);
  }
  if (tool.leader > 0) {
    kill(tool.leader, SIGKILL);
    wait4(tool.leader, nullptr, 0, &tool.usage);
    tool.leader = -1;
  }
}

// One line or, where the reason lists the serial ports, up to three; the program's name first.
void check_reason(const Tool& tool) {
  std::size_t lines = 0;
  for (const char c : tool.err) {
    lines += c == '\n' ? 1 : 0;
  }
  const std::size_t most = tool.err.find("ports here") != std::string::npos ? 3 : 1;
  if (lines < 1 || lines > most || tool.err.back() != '\n' ||
      tool.err.rfind("quorvel-setup: ", 0) != 0) {
    fail("standard error should hold one reason" +
         std::string(most > 1 ? " (three lines at most)" : "") + ", it holds: \"" + tool.err +
         "\"");
  }
}

// The common check of standard error once the tool has ended with `status`; see Errors.
void check_errors(const Tool& tool, int status) {
  Errors rule = tool.errors;
  if (rule == Errors::kUsual) {
    if (status == 0 || status == 2 || status > 128 || (status == 1 && tool.esc_last)) {
      rule = Errors::kNone;
    } else if (status == 1) {
      rule = Errors::kReason;
    } else {
      return;  // a tool that never ran, a wrapper's own status, a deadline: the test fails on it
    }
  }
  if (rule == Errors::kNone && !tool.err.empty()) {
    fail("standard error should be empty, it holds: \"" + tool.err + "\"");
  } else if (rule == Errors::kReason) {
    check_reason(tool);
  }
}

}  // namespace

void take_errors(Tool& tool, int timeout_ms) {
  // Bounded too: a wrapper's child that keeps writing must not keep the test here.
  for (const auto start = Clock::now(); tool.err_fd >= 0 && before(start, kDeadlineMs);) {
    const std::size_t before = tool.err.size();
    if (!pump(tool.err_fd, tool.err, timeout_ms)) {
      close(tool.err_fd);
      tool.err_fd = -1;
    } else if (tool.err.size() == before) {
      break;
    }
  }
}

bool wait_stopped(Tool& tool, int deadline_ms) {
  for (const auto start = Clock::now(); tool.job_end < 0 && before(start, deadline_ms);) {
    drain_keyboard(tool);
    take_errors(tool, 0);
    if (!pump(tool.out_fd, tool.out, 0)) {
      close(tool.out_fd);
      tool.out_fd = -1;
    }
    const int change = read_job_status(tool.job_fd, 50);
    if (change >= 0 && WIFSTOPPED(change)) {
      return true;
    }
    if (change == kJobGone || (change >= 0 && (WIFEXITED(change) || WIFSIGNALED(change)))) {
      tool.job_end = change == kJobGone ? kLeaderLost : change;
    }
  }
  return false;
}

bool wait_modes(Tool& tool, bool restored, int deadline_ms) {
  for (const auto start = Clock::now(); before(start, deadline_ms);) {
    if (modes_restored(tool) == restored) {
      return true;
    }
    read_output_for(tool, 20);
  }
  return modes_restored(tool) == restored;
}

bool wait_output(Tool& tool, const std::string& text, std::size_t from, int deadline_ms) {
  for (const auto start = Clock::now(); before(start, deadline_ms);) {
    if (tool.out.find(text, from) != std::string::npos) {
      return true;
    }
    drain_keyboard(tool);
    take_errors(tool, 0);
    if (!pump(tool.out_fd, tool.out, 50)) {
      return tool.out.find(text, from) != std::string::npos;
    }
  }
  return false;
}

void read_output_for(Tool& tool, int ms) {
  const auto start = Clock::now();
  for (bool open = true; open && before(start, ms);) {
    drain_keyboard(tool);
    take_errors(tool, 0);
    const auto left = std::chrono::milliseconds(ms) - (Clock::now() - start);
    const auto left_ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
    open = pump(tool.out_fd, tool.out, static_cast<int>(left_ms) + 1);
  }
}

int count(const Tool& tool, const std::string& text) {
  int n = 0;
  for (std::size_t at = tool.out.find(text); at != std::string::npos;
       at = tool.out.find(text, at + 1)) {
    ++n;
  }
  return n;
}

void type(Tool& tool, const std::string& keys) {
  tool.esc_last = !keys.empty() && keys.back() == '\x1b';
  if (write(tool.keys_fd, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
    fail("could not type all of the keys");
  }
}

void close_output(Tool& tool) {
  close(tool.out_fd);
  tool.out_fd = -1;
}

void close_keys(Tool& tool) {
  close(tool.keys_fd);
  tool.keys_fd = -1;
}

int wait_exit(Tool& tool, int deadline_ms) {
  if (tool.pid <= 0) {
    return -1;  // never started: there is no child to wait for
  }
  int status = 0;
  bool ended = false;
  for (const auto start = Clock::now(); !ended && before(start, deadline_ms);) {
    drain_keyboard(tool);
    take_errors(tool, 0);
    // The output, and the end of the tool itself, so that its end is seen when it comes.
    if (!pump_until_end(tool.out_fd, tool.out, tool.pid_fd, 50)) {
      close(tool.out_fd);  // at its end: from now on only the tool's own end is waited for
      tool.out_fd = -1;
    }
    ended = reaped(tool, status);
  }
  tool.ended = Clock::now();
  if (!ended) {
    kill(-tool.pid, SIGKILL);  // the whole group: a wrapper's children too
    kill(tool.pid, SIGKILL);
    reap_killed(tool);
    status = -1;
  } else {
    // The tool is gone; take the rest of what it wrote, up to the end of the pipe (or, on a
    // terminal, as long as more comes), but not from a wrapper's child that writes on forever.
    const auto start = Clock::now();
    for (std::size_t before_size = std::string::npos;
         tool.out_fd >= 0 && before_size != tool.out.size() && before(start, kDeadlineMs);) {
      before_size = tool.out.size();
      if (!pump(tool.out_fd, tool.out, tool.screen ? 100 : 1000)) {
        break;
      }
    }
    status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  if (tool.out_fd >= 0) {
    close(tool.out_fd);
  }
  tool.out_fd = -1;
  // Whatever the tool said on standard error, up to the end of that pipe.
  take_errors(tool, 1000);
  tool.pid = -1;
  check_errors(tool, status);
  return status;
}

bool modes_restored(const Tool& tool) {
  termios now{};
  if (tcgetattr(tool.slave_fd, &now) != 0) {
    return false;
  }
  const termios& was = tool.modes_before;
  return now.c_iflag == was.c_iflag && now.c_oflag == was.c_oflag && now.c_cflag == was.c_cflag &&
         now.c_lflag == was.c_lflag && std::memcmp(now.c_cc, was.c_cc, sizeof now.c_cc) == 0;
}

}  // namespace e2e
