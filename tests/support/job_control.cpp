// The tool as a shell runs a foreground job: a small parent leads the keyboard terminal's
// session and keeps the tool in a process group of its own. Only such a group, whose parent is
// in the same session but another group, is not orphaned, so only there does Ctrl-Z stop it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "harness.h"
#include "process.h"

namespace e2e {
namespace {

void write_int(int fd, int value) {
  ssize_t ignored = write(fd, &value, sizeof value);
  (void)ignored;
}

// The session leader: hands each change of the job (stopped, continued, ended) to the test as
// its wait status, and ends once the job has. Only async-signal-safe calls: it is a fork of the
// test program that never execs.
[[noreturn]] void lead_session(pid_t job, int report_fd) {
  setpgid(job, job);  // as the job does itself: whichever runs first
  write_int(report_fd, static_cast<int>(job));
  for (;;) {
    int status = 0;
    const pid_t changed = waitpid(job, &status, WUNTRACED | WCONTINUED);
    if (changed < 0 && errno == EINTR) {
      continue;
    }
    if (changed != job) {
      _exit(1);
    }
    write_int(report_fd, status);
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      _exit(0);
    }
  }
}

}  // namespace

pid_t start_job(const JobStart& start) {
  const pid_t leader = fork();
  if (leader != 0) {
    return leader;
  }
  const rlimit no_core{0, 0};  // SIGQUIT cases must not leave core files behind
  setrlimit(RLIMIT_CORE, &no_core);
  setsid();
  use_private_locks(lock_dir());
  const int tty = open(start.terminal, O_RDWR);
  ioctl(tty, TIOCSCTTY, 0);
  // The leader hands the terminal to the job, as a shell does, from outside its foreground.
  signal(SIGTTOU, SIG_IGN);
  const pid_t job = fork();
  if (job == 0) {
    setpgid(0, 0);
    tcsetpgrp(tty, getpid());  // in front before the tool looks
    signal(SIGTTOU, SIG_DFL);
    dup2(tty, 0);
    dup2(start.out_fd, 1);
    dup2(start.err_fd, 2);
    exec_words(*start.argv, start.env);
  }
  // Only the job keeps the output pipes open, so that they end when it does.
  for (const int fd : {tty, start.out_fd, start.err_fd, start.master_fd, start.status_read_fd}) {
    if (fd > 2) {
      close(fd);
    }
  }
  if (job < 0) {
    _exit(127);
  }
  lead_session(job, start.report_fd);
}

int read_job_status(int report_fd, int timeout_ms) {
  pollfd pfd{report_fd, POLLIN, 0};
  if (report_fd < 0 || poll(&pfd, 1, timeout_ms) <= 0) {
    return kNoJobStatus;
  }
  int value = 0;
  const ssize_t got = read(report_fd, &value, sizeof value);
  return got == static_cast<ssize_t>(sizeof value) ? value : kJobGone;
}

// start_tool for a tool run as a foreground job under a session leader of its own.
bool start_as_job(Tool& tool, const std::string& terminal, const std::vector<std::string>& argv,
                  const std::vector<std::string>& env, const std::array<int, 2>& out,
                  const std::array<int, 2>& err) {
  if (terminal.empty() || tool.screen) {
    return fail("job control needs the keyboard terminal and the output apart from it");
  }
  std::array<int, 2> report{};
  if (pipe2(report.data(), O_CLOEXEC) != 0) {
    return fail("cannot make a pipe for the session leader");
  }
  JobStart job;
  job.terminal = terminal.c_str();
  job.argv = &argv;
  job.env = &env;
  job.out_fd = out[1];
  job.err_fd = err[1];
  job.report_fd = report[1];
  job.status_read_fd = report[0];
  job.master_fd = tool.keys_fd;
  tool.started = Clock::now();
  tool.leader = start_job(job);
  for (const int fd : {out[1], err[1], report[1]}) {
    close(fd);
  }
  tool.out_fd = out[0];
  tool.err_fd = err[0];
  tool.job_fd = report[0];
  if (tool.leader < 0) {
    return fail("cannot start the session leader");
  }
  const int job_pid = read_job_status(tool.job_fd, kDeadlineMs);
  if (job_pid <= 0) {
    return fail("the session leader did not start the tool");
  }
  tool.pid = job_pid;
  tool.pid_fd = static_cast<int>(syscall(SYS_pidfd_open, tool.pid, 0));
  return false;
}

}  // namespace e2e
