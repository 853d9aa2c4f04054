#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>

namespace e2e {
namespace {

constexpr uid_t kNobody = 65534;

bool fail(const std::string& what) {
  std::fprintf(stderr, "harness: %s\n", what.c_str());
  return true;
}

// The variable's value; `fallback` where it is unset or empty.
std::string from_env(const char* name, const std::string& fallback = "") {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string temp_dir(const char* kind) {
  std::array<char, 64> name{};
  std::snprintf(name.data(), name.size(), "/tmp/quorvel-%s-XXXXXX", kind);
  return mkdtemp(name.data()) != nullptr && chmod(name.data(), 0755) == 0 ? name.data() : "";
}

void remove_tree(const std::string& dir) {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

// Appends what fd has now; false at its end.
bool take(int fd, std::string& into) {
  std::array<char, 4096> buffer{};
  const ssize_t got = read(fd, buffer.data(), buffer.size());
  into.append(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  return got > 0 || (got < 0 && (errno == EINTR || errno == EAGAIN));
}

[[noreturn]] void exec_words(std::vector<std::string> words, std::vector<std::string> env) {
  std::vector<char*> argv(words.size() + 1), envp(env.size() + 1);  // each ends with a null
  const auto data = [](std::string& word) { return word.data(); };
  std::transform(words.begin(), words.end(), argv.begin(), data);
  std::transform(env.begin(), env.end(), envp.begin(), data);
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

// Only what the run needs, so that no run depends on the shell it was started from.
std::vector<std::string> environment(const Options& options) {
  std::vector<std::string> env = {"TZ=UTC", "PATH=/usr/bin:/bin"};
  for (const char* keep :
       {"UBSAN_OPTIONS", "HOME", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "WINEARCH"}) {
    if (!from_env(keep).empty()) {
      env.push_back(keep + ("=" + from_env(keep)));
    }
  }
  std::string asan = "ASAN_OPTIONS=" + from_env("ASAN_OPTIONS");
  if (!options.fake_time.empty()) {
    // The loader's $LIB takes the library of each program's own word size: 32-bit Wine's too.
    const std::regex multiarch("^/usr/lib/[^/]*-linux-gnu/");
    env.push_back("LD_PRELOAD=" +
                  std::regex_replace(QUORVEL_FAKETIME_LIB, multiarch, "/usr/$$LIB/"));
    env.push_back("FAKETIME=" + options.fake_time);  // a stopped clock: no second ticks by
    env.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
    asan += ":verify_asan_link_order=0";  // the time library is preloaded first
  }
  env.push_back(asan);
  return env;
}

// A character device of this machine that a test must never open: any but a pseudo-terminal's
// far end (majors 136 to 143), /dev/null and /dev/tty, which in the run is its own keyboard
// terminal.
bool real_device(const std::string& text) {
  struct stat info {};
  const unsigned kind = stat(text.c_str(), &info) == 0 ? major(info.st_rdev) : 0;
  return S_ISCHR(info.st_mode) && (kind < 136 || kind > 143) && info.st_rdev != makedev(1, 3) &&
         info.st_rdev != makedev(5, 0);
}

}  // namespace

Programs& programs() {
  static Programs chosen{from_env("QUORVEL_TEST_TOOL", QUORVEL_SETUP_PATH), QUORVEL_SIM_PATH,
                         from_env("QUORVEL_TEST_WRAPPER")};
  return chosen;
}

bool start_unit(Unit& unit, const std::vector<std::string>& options, const std::string& link) {
  unit.dir = temp_dir("unit");
  const std::string at = link.empty() ? unit.dir + "/unit" : link;
  std::vector<std::string> argv = {programs().sim, "--link", at, "--wire", unit.dir + "/wire"};
  argv.insert(argv.end(), options.begin(), options.end());
  std::array<int, 2> out{};
  if (unit.dir.empty() || pipe2(out.data(), O_CLOEXEC) != 0) {
    return fail("cannot make a folder and a pipe for the simulated unit");
  }
  unit.pid = fork();
  if (unit.pid == 0) {
    setpgid(0, 0);
    dup2(out[1], 1);
    dup2(open("/dev/null", O_RDWR), 0);
    exec_words(argv, {});
  }
  close(out[1]);
  unit.log_fd = out[0];
  wait_log(unit, "\n");  // its first line: where it serves
  unit.path = unit.port = unit.log.substr(0, unit.log.find('\n'));
  return unit.path != at && fail("the simulated unit did not start on " + at);
}

int occurrences(const std::string& in, const std::string& text) {
  int n = 0;
  for (auto at = in.find(text); at != std::string::npos; at = in.find(text, at + 1)) {
    ++n;
  }
  return n;
}

bool wait_log(Unit& unit, const std::string& text, int times, int deadline_ms) {
  return until(nullptr, &unit, deadline_ms, [&] { return occurrences(unit.log, text) >= times; });
}

void stop_unit(Unit& unit) {
  if (unit.pid > 0) {
    kill(unit.pid, SIGTERM);
    until(nullptr, &unit, kDeadlineMs, [] { return false; });
    kill(-unit.pid, SIGKILL);  // nothing left of it by now, unless it hung
    waitpid(unit.pid, nullptr, 0);
    close(unit.log_fd);  // at its end already unless it hung
    unit.log_fd = unit.pid = -1;
  }
}

Unit::~Unit() {
  stop_unit(*this);
  remove_tree(dir);
}

bool start_tool(Tool& tool, const std::vector<std::string>& args, const Options& options) {
  const auto real = std::find_if(args.begin(), args.end(), real_device);
  if (real != args.end()) {
    return fail("the tool was to be given the real device " + *real);
  }
  // The tool as nobody may run it: a copy in the run's folder is in nobody's reach.
  const std::string& path = programs().tool;
  tool.dir = temp_dir("run");
  const std::string program = options.as_nobody ? tool.dir + path.substr(path.rfind('/')) : path;
  const std::string locks = options.lock_dir.empty() ? tool.dir + "/locks" : options.lock_dir;
  std::array<int, 2> keys{-1, -1}, out{}, err{};
  std::error_code copy_failed;
  if (tool.dir.empty() || pipe2(out.data(), O_CLOEXEC) != 0 || pipe2(err.data(), O_CLOEXEC) != 0 ||
      (options.lock_dir.empty() &&
       (mkdir(locks.c_str(), 0) != 0 || chmod(locks.c_str(), 01777) != 0)) ||
      (options.as_nobody && !std::filesystem::copy_file(path, program, copy_failed))) {
    return fail("cannot make the output pipes, the lock folder or the copy for nobody");
  }
  std::array<char, 128> slave{};  // the keyboard terminal's name
  const bool screen = options.keys == "screen";
  if (options.keys.empty() || screen) {
    if (openpty(&keys[1], &tool.slave_fd, slave.data(), nullptr, nullptr) != 0) {
      return fail("cannot make the keyboard terminal");
    }
    fcntl(keys[1], F_SETFD, FD_CLOEXEC);
    fcntl(tool.slave_fd, F_SETFD, FD_CLOEXEC);
    tcgetattr(tool.slave_fd, &tool.modes_before);
  } else if (options.keys == "pipe"
                 ? pipe2(keys.data(), O_CLOEXEC) != 0
                 : (keys[0] = open(options.keys.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    return fail("cannot make the keyboard pipe or open the keys' file");
  }
  tool.keys_fd = keys[1];
  std::vector<std::string> argv;
  if (!options.shell.empty()) {
    // bash takes the terminal for job control from its standard error.
    argv = {"/bin/bash", "-c", "exec 4>&2 2>/dev/tty; set -m; " + options.shell, "bash"};
  }
  std::istringstream wrapper(programs().wrapper);
  for (std::string word; wrapper >> word;) {
    argv.push_back(word);
  }
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  signal(SIGPIPE, SIG_IGN);
  tool.started = Clock::now();
  tool.pid = fork();
  if (tool.pid == 0) {
    // The lock folder over /run/lock (and /var/lock where that is a folder of its own) in a
    // mount namespace of its own, then the user, then the terminal and the pipes.
    const rlimit no_core{0, 0};  // the signal cases must leave no core files behind
    setrlimit(RLIMIT_CORE, &no_core);
    signal(SIGPIPE, SIG_DFL);  // ignored here, and an ignored signal stays so across exec
    struct stat var_lock {};
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(locks.c_str(), "/run/lock", nullptr, MS_BIND, nullptr) != 0 ||
        (lstat("/var/lock", &var_lock) == 0 && S_ISDIR(var_lock.st_mode) &&
         mount(locks.c_str(), "/var/lock", nullptr, MS_BIND, nullptr) != 0)) {
      std::fprintf(stderr, "harness: no private /run/lock: %s\n", std::strerror(errno));
      _exit(126);
    }
    setsid();
    const int tty = tool.slave_fd >= 0 ? open(slave.data(), O_RDWR) : -1;
    ioctl(tty, TIOCSCTTY, 0);  // the controlling terminal: Ctrl-C is SIGINT
    if (options.as_nobody &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(126);
    }
    dup2(tty >= 0 ? tty : keys[0], 0);
    dup2(screen ? tty : out[1], 1);
    dup2(screen ? tty : err[1], 2);
    exec_words(argv, environment(options));
  }
  for (const int childs : {keys[0], out[1], err[1]}) {
    close(childs);
  }
  tool.out_fd = screen ? dup3(tool.keys_fd, out[0], O_CLOEXEC) : out[0];
  tool.err_fd = err[0];
  tool.pid_fd = static_cast<int>(syscall(SYS_pidfd_open, tool.pid, 0));
  return tool.pid < 0 && fail("cannot start the tool");
}

bool until(Tool* tool, Unit* unit, int deadline_ms, const std::function<bool()>& done,
           bool to_end) {
  static Tool no_tool;
  static Unit no_unit;
  Tool& t = tool != nullptr ? *tool : no_tool;
  Unit& u = unit != nullptr ? *unit : no_unit;
  const std::array<std::pair<int*, std::string*>, 3> streams = {
      {{&t.out_fd, &t.out}, {&t.err_fd, &t.err}, {&u.log_fd, &u.log}}};
  const auto end = Clock::now() + std::chrono::milliseconds(deadline_ms);
  bool finished = false;
  while (!(finished = done()) && Clock::now() < end &&
         (!to_end || (tool != nullptr ? t.out_fd : u.log_fd) >= 0)) {
    std::array<pollfd, 4> fds{};
    for (std::size_t i = 0; i < 3; ++i) {
      fds[i] = {*streams[i].first, POLLIN, 0};
    }
    fds[3] = {t.pid > 0 ? t.pid_fd : -1, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long>(left.count(), 0, 50)));
    for (std::size_t i = 0; i < 3; ++i) {
      if (fds[i].revents != 0 && !take(*streams[i].first, *streams[i].second)) {
        close(*streams[i].first);  // its end (a terminal's master, held open here, reports none)
        *streams[i].first = -1;
      }
    }
    while (u.line_times.size() < static_cast<std::size_t>(occurrences(u.log, "\nline "))) {
      u.line_times.push_back(Clock::now());
    }
  }
  return finished;
}

bool wait_output(Tool& tool, const std::string& text, std::size_t from, int deadline_ms,
                 Unit* unit) {
  return until(&tool, unit, deadline_ms,
               [&] { return tool.out.find(text, from) != std::string::npos; });
}

void type(Tool& tool, const std::string& keys) {
  if (write(tool.keys_fd, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
    fail("could not type all of the keys");
  }
}

int wait_exit(Tool& tool, int deadline_ms, Unit* unit) {
  int status = -1;
  const bool ended =
      tool.pid > 0 &&
      until(
          &tool, unit, deadline_ms,
          [&] { return wait4(tool.pid, &status, WNOHANG, &tool.usage) == tool.pid; }, false);
  tool.ended = Clock::now();
  if (!ended && tool.pid > 0) {
    kill(-tool.pid, SIGKILL);  // the whole group: a wrapper's children (valgrind's, wine's) too
    kill(tool.pid, SIGKILL);
    wait4(tool.pid, nullptr, 0, &tool.usage);
  }
  tool.pid = -1;
  // What is still in the pipes; a terminal's master reports no end, so it gets a moment.
  const auto taken = [&] { return tool.out.size() + tool.err.size(); };
  for (std::size_t had = taken() + 1; ended && had != taken();) {
    had = taken();
    until(
        &tool, unit, 300, [&] { return taken() != had || (tool.out_fd < 0 && tool.err_fd < 0); },
        false);
  }
  return !ended ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool modes_restored(const Tool& tool) {
  termios now{};  // its four flag words, line discipline and control characters, in that order
  return tcgetattr(tool.slave_fd, &now) == 0 &&
         std::memcmp(&now, &tool.modes_before, offsetof(termios, c_cc) + sizeof now.c_cc) == 0;
}

Tool::~Tool() {
  if (pid > 0) {
    wait_exit(*this, 0);  // killed unless it has just ended
  }
  for (const int fd : {pid_fd, keys_fd, slave_fd, out_fd, err_fd}) {
    close(fd);  // those still open
  }
  remove_tree(dir);
}

}  // namespace e2e
