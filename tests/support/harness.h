// Starts the real programs as a technician meets them: the tool with its keyboard on a
// pseudo-terminal (or a pipe) and its output captured, each run in a private mount namespace
// whose /run/lock is a folder of the run's own, and the simulated unit on a pseudo-terminal of
// its own. Shared by the end-to-end runner and the benchmark; header only, as both programs use
// most of it. Its own troubles (a pipe that cannot be made, a unit that does not start) go to
// standard error.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

constexpr int kDeadlineMs = 30000;  // generous: valgrind and sanitizers are slow
using Clock = std::chrono::steady_clock;

inline bool fail(const std::string& what) {
  std::fprintf(stderr, "harness: %s\n", what.c_str());
  return true;
}

// The variable's value; `fallback` where it is unset or empty.
inline std::string from_env(const char* name, const std::string& fallback = "") {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// The programs run: the tool (QUORVEL_TEST_TOOL's when set: a Windows build run through the
// wrapper, for one, else the one built here), the simulated unit, and the words put in front of
// the tool (wine, valgrind ...: QUORVEL_TEST_WRAPPER's).
struct Programs {
  std::string tool, sim, wrapper;
};
inline Programs& programs() {
  static Programs chosen{from_env("QUORVEL_TEST_TOOL", QUORVEL_SETUP_PATH), QUORVEL_SIM_PATH,
                         from_env("QUORVEL_TEST_WRAPPER")};
  return chosen;
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

struct Options {
  // keys: the keyboard: "" a terminal; "screen" a terminal that standard output and error go
  // to as well, as in a console; "pipe" a pipe; any other text the regular file of that name.
  // fake_time: the local time the program sees ("2009-12-07 12:30:00" UTC); "": the real one.
  // lock_dir: the folder the run sees as /run/lock; "": a fresh one, 01777.
  // shell: when set, the tool runs as "$@" of `bash -c shell` with job control, bash leading
  // the keyboard terminal's session as a technician's shell does; bash's own standard error is
  // the terminal, the tool's is on descriptor 4 ("$@" 2>&4).
  std::string keys, fake_time, lock_dir, shell;
  bool as_nobody = false;  // the run drops to the user nobody (after the lock folder's mount)
};

// Killed, with its process group, if still running when it goes out of scope.
struct Tool {
  ~Tool();
  pid_t pid = -1;
  // Readable once the process has ended; the pty master or the write end of the keys' pipe; the
  // test's own descriptor on the keyboard terminal, for its modes; standard output's pipe, or
  // with `screen` the pty master; standard error's pipe.
  int pid_fd = -1, keys_fd = -1, slave_fd = -1, out_fd = -1, err_fd = -1;
  // Standard output (everything the terminal shows with `screen`), standard error, and the
  // run's own folder (the lock folder unless the caller gives one, the tool's copy for nobody),
  // removed with it.
  std::string out, err, dir;
  termios modes_before{};
  Clock::time_point started{}, ended{};
  rusage usage{};  // its CPU, once it has ended
};

inline std::string temp_dir(const char* kind) {
  std::string name = std::string("/tmp/quorvel-") + kind + "-XXXXXX";
  return mkdtemp(name.data()) != nullptr && chmod(name.data(), 0755) == 0 ? name.data() : "";
}

inline void remove_tree(const std::string& dir) {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

[[noreturn]] inline void exec_words(std::vector<std::string> words, std::vector<std::string> env) {
  std::vector<char*> argv(words.size() + 1), envp(env.size() + 1);  // each ends with a null
  const auto data = [](std::string& word) { return word.data(); };
  std::transform(words.begin(), words.end(), argv.begin(), data);
  std::transform(env.begin(), env.end(), envp.begin(), data);
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

// Only what the run needs, so that no run depends on the shell it was started from.
inline std::vector<std::string> environment(const Options& options) {
  std::vector<std::string> env = {"TZ=UTC", "PATH=/usr/bin:/bin"};
  for (const char* keep :
       {"UBSAN_OPTIONS", "HOME", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "WINEARCH"}) {
    if (!from_env(keep).empty()) {
      env.push_back(keep + ("=" + from_env(keep)));
    }
  }
  // The time library is preloaded ahead of the sanitizer's runtime, which would refuse that.
  env.push_back("ASAN_OPTIONS=" + from_env("ASAN_OPTIONS") +
                (options.fake_time.empty() ? "" : ":verify_asan_link_order=0"));
  if (!options.fake_time.empty()) {
    // The loader's $LIB takes the library of each program's own word size.
    const std::regex multiarch("^/usr/lib/[^/]*-linux-gnu/");
    env.push_back("LD_PRELOAD=" +
                  std::regex_replace(QUORVEL_FAKETIME_LIB, multiarch, "/usr/$$LIB/"));
    env.push_back("FAKETIME=" + options.fake_time);  // a stopped clock: no second ticks by
    env.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
  }
  return env;
}

// A character device of this machine that a test must never open: any but a pseudo-terminal's
// far end (majors 136 to 143), /dev/null and /dev/tty, which in the run is its own keyboard
// terminal.
inline bool real_device(const std::string& text) {
  struct stat info {};
  const unsigned kind = stat(text.c_str(), &info) == 0 ? major(info.st_rdev) : 0;
  return S_ISCHR(info.st_mode) && (kind < 136 || kind > 143) && info.st_rdev != makedev(1, 3) &&
         info.st_rdev != makedev(5, 0);
}

// How many times `text` is in `in`.
inline int occurrences(const std::string& in, const std::string& text) {
  int n = 0;
  for (auto at = in.find(text); at != std::string::npos; at = in.find(text, at + 1)) {
    ++n;
  }
  return n;
}

// Reads what the tool writes (when given) and the unit's log (when given) until done() holds,
// the deadline passes or, with `to_end`, the tool's standard output (else the log) has ended.
// Returns done().
inline bool until(Tool* tool, Unit* unit, int deadline_ms, const std::function<bool()>& done,
                  bool to_end = true) {
  static Tool no_tool;
  static Unit no_unit;
  Tool& t = tool != nullptr ? *tool : no_tool;
  Unit& u = unit != nullptr ? *unit : no_unit;
  const std::array<int*, 3> fd = {&t.out_fd, &t.err_fd, &u.log_fd};
  const std::array<std::string*, 3> into = {&t.out, &t.err, &u.log};
  const auto end = Clock::now() + std::chrono::milliseconds(deadline_ms);
  bool finished = false;
  while (!(finished = done()) && Clock::now() < end &&
         (!to_end || (tool != nullptr ? t.out_fd : u.log_fd) >= 0)) {
    // The process's own descriptor wakes it at the end.
    std::array<pollfd, 4> fds{{{*fd[0], POLLIN, 0},
                               {*fd[1], POLLIN, 0},
                               {*fd[2], POLLIN, 0},
                               {t.pid > 0 ? t.pid_fd : -1, POLLIN, 0}}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long>(left.count(), 0, 50)));
    for (std::size_t i = 0; i < fd.size(); ++i) {
      std::array<char, 4096> buffer{};
      const ssize_t got = fds[i].revents != 0 ? read(*fd[i], buffer.data(), buffer.size()) : -2;
      into[i]->append(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
      if (got == 0 || (got == -1 && errno != EINTR && errno != EAGAIN)) {
        close(*fd[i]);  // its end (a terminal's master, held open here, reports none)
        *fd[i] = -1;
      }
    }
    u.line_times.resize(occurrences(u.log, "\nline "), Clock::now());  // the new ones came now
  }
  return finished;
}

// Reads the unit's log until it holds `text` `times` times; false on the deadline or its end.
inline bool wait_log(Unit& unit, const std::string& text, int times = 1,
                     int deadline_ms = kDeadlineMs) {
  return until(nullptr, &unit, deadline_ms, [&] { return occurrences(unit.log, text) >= times; });
}

// Reads output until it holds `text` after `from`; false on the deadline or its end.
inline bool wait_output(Tool& tool, const std::string& text, std::size_t from = 0,
                        int deadline_ms = kDeadlineMs, Unit* unit = nullptr) {
  return until(&tool, unit, deadline_ms,
               [&] { return tool.out.find(text, from) != std::string::npos; });
}

// Starts quorvel-sim with `options`, serving `link` (empty: "unit" in its folder). Returns true
// on failure.
inline bool start_unit(Unit& unit, const std::vector<std::string>& options = {},
                       const std::string& link = "") {
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

// Ends the unit: SIGTERM, then SIGKILL at the deadline.
inline void stop_unit(Unit& unit) {
  if (unit.pid > 0) {
    kill(unit.pid, SIGTERM);
    until(nullptr, &unit, kDeadlineMs, [] { return false; });
    kill(-unit.pid, SIGKILL);  // nothing left of it by now, unless it hung
    waitpid(unit.pid, nullptr, 0);
    close(unit.log_fd);  // at its end already unless it hung
    unit.log_fd = unit.pid = -1;
  }
}

inline Unit::~Unit() {
  stop_unit(*this);
  remove_tree(dir);
}

// Starts quorvel-setup with `args`. Returns true on failure, also when an argument names a real
// device of this machine (tests use pseudo-terminals and /dev/null only).
inline bool start_tool(Tool& tool, const std::vector<std::string>& args,
                       const Options& options = {}) {
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
  std::array<char, 128> slave{};  // the keyboard terminal's name
  const bool screen = options.keys == "screen", terminal = screen || options.keys.empty();
  std::error_code copy_failed;
  if (tool.dir.empty() || pipe2(out.data(), O_CLOEXEC) != 0 || pipe2(err.data(), O_CLOEXEC) != 0 ||
      (options.lock_dir.empty() &&
       (mkdir(locks.c_str(), 0) != 0 || chmod(locks.c_str(), 01777) != 0)) ||
      (options.as_nobody && !std::filesystem::copy_file(path, program, copy_failed)) ||
      (terminal ? openpty(&keys[1], &tool.slave_fd, slave.data(), nullptr, nullptr) != 0
       : options.keys == "pipe"
           ? pipe2(keys.data(), O_CLOEXEC) != 0
           : (keys[0] = open(options.keys.c_str(), O_RDONLY | O_CLOEXEC)) < 0)) {
    return fail("cannot make the pipes, the lock folder, the copy for nobody or the keyboard");
  }
  tool.keys_fd = keys[1];
  if (terminal) {  // openpty's descriptors are inherited unless told otherwise
    fcntl(keys[1], F_SETFD, FD_CLOEXEC);
    fcntl(tool.slave_fd, F_SETFD, FD_CLOEXEC);
    tcgetattr(tool.slave_fd, &tool.modes_before);
  }
  std::vector<std::string> argv;
  if (!options.shell.empty()) {
    // bash takes the terminal for job control from its standard error.
    argv = {"/bin/bash", "-c", "exec 4>&2 2>/dev/tty; set -m; " + options.shell, "bash"};
  }
  std::istringstream wrapper(programs().wrapper);
  argv.insert(argv.end(), std::istream_iterator<std::string>(wrapper), {});
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
    constexpr uid_t kNobody = 65534;
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

// Returns true when not all of the keys could be written.
inline bool type(Tool& tool, const std::string& keys) {
  return write(tool.keys_fd, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()) &&
         fail("could not type all of the keys");
}

// Waits for the end; returns the exit status, 128 + signal when killed, -1 on the deadline
// (the process group is then killed).
inline int wait_exit(Tool& tool, int deadline_ms = kDeadlineMs, Unit* unit = nullptr) {
  int status = -1;
  const auto reaped = [&] { return wait4(tool.pid, &status, WNOHANG, &tool.usage) == tool.pid; };
  const bool ended = tool.pid > 0 && until(&tool, unit, deadline_ms, reaped, false);
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
        &tool, unit, 300, [&] { return tool.out_fd < 0 && tool.err_fd < 0; }, false);
  }
  return !ended ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// True when the keyboard terminal's modes are as they were before the tool started.
inline bool modes_restored(const Tool& tool) {
  termios now{};  // its four flag words, line discipline and control characters, in that order
  return tcgetattr(tool.slave_fd, &now) == 0 &&
         std::memcmp(&now, &tool.modes_before, offsetof(termios, c_cc) + sizeof now.c_cc) == 0;
}

inline Tool::~Tool() {
  wait_exit(*this, 0);  // killed unless it has just ended
  for (const int fd : {pid_fd, keys_fd, slave_fd, out_fd, err_fd}) {
    close(fd);  // those still open
  }
  remove_tree(dir);
}

}  // namespace e2e
