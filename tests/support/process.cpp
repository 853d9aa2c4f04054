#include "process.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "harness.h"

namespace e2e {
namespace {

FailureHook g_failure_hook = nullptr;

std::vector<char*> c_strings(std::vector<std::string>& words) {
  std::vector<char*> out;
  for (std::string& word : words) {
    out.push_back(word.data());
  }
  out.push_back(nullptr);
  return out;
}

// Reads one chunk from a descriptor poll found ready. False at end of file or on an error
// other than an interruption (EIO: the last holder of a terminal's other side is gone).
bool take_chunk(int fd, std::string& into) {
  std::array<char, 4096> buffer{};
  const ssize_t got = read(fd, buffer.data(), buffer.size());
  if (got > 0) {
    into.append(buffer.data(), static_cast<std::size_t>(got));
    return true;
  }
  return got < 0 && (errno == EINTR || errno == EAGAIN);
}

}  // namespace

void set_failure_hook(FailureHook hook) {
  g_failure_hook = hook;
}

bool fail(const std::string& what) {
  if (g_failure_hook != nullptr) {
    g_failure_hook(what);
  } else {
    std::fprintf(stderr, "harness: %s\n", what.c_str());
  }
  return true;
}

bool before(std::chrono::steady_clock::time_point start, int deadline_ms) {
  return std::chrono::steady_clock::now() - start < std::chrono::milliseconds(deadline_ms);
}

bool pump(int fd, std::string& into, int timeout_ms) {
  pollfd pfd{fd, POLLIN, 0};
  if (poll(&pfd, 1, timeout_ms) <= 0) {
    return true;
  }
  return take_chunk(fd, into);
}

bool pump_until_end(int fd, std::string& into, int end_fd, int timeout_ms) {
  std::array<pollfd, 2> fds{};
  fds[0] = {fd, POLLIN, 0};  // a negative descriptor is left out of the poll
  fds[1] = {end_fd, POLLIN, 0};
  if (poll(fds.data(), fds.size(), timeout_ms) <= 0 || fds[0].revents == 0) {
    return true;
  }
  return take_chunk(fd, into);
}

void drain(int fd) {
  std::string ignored;
  while (fd >= 0 && pump(fd, ignored, 0) && !ignored.empty()) {
    ignored.clear();
  }
}

void exec_words(const std::vector<std::string>& words, const std::vector<std::string>* env) {
  std::vector<std::string> args = words;
  std::vector<char*> args_c = c_strings(args);
  if (env == nullptr) {
    execv(args_c[0], args_c.data());
  } else {
    std::vector<std::string> vars = *env;
    std::vector<char*> env_c = c_strings(vars);
    execve(args_c[0], args_c.data(), env_c.data());
  }
  _exit(127);
}

double cpu_seconds(pid_t pid, bool* fine) {
  if (fine != nullptr) {
    *fine = false;
  }
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream schedstat(proc + "/schedstat");
  unsigned long long on_cpu_ns = 0;
  if (schedstat >> on_cpu_ns) {
    if (fine != nullptr) {
      *fine = true;
    }
    return static_cast<double>(on_cpu_ns) * 1e-9;
  }
  std::ifstream in(proc + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) {
    return -1;
  }
  // After the name: state, ppid, pgrp, session, tty, tpgid, flags, 4 fault counts, utime, stime.
  std::istringstream fields(stat.substr(name_end + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) {
      ticks += std::stoull(field);
    }
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace e2e
