#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "process.h"

namespace e2e {
namespace {

std::string& configured_tool() {
  static std::string path = QUORVEL_SETUP_PATH;
  return path;
}

std::string& configured_sim() {
  static std::string path = QUORVEL_SIM_PATH;
  return path;
}

// Variables the tool keeps from the test's environment; everything else is left behind, so
// that no run depends on the shell it was started from.
constexpr std::array<const char*, 6> kKeptVariables = {
    "UBSAN_OPTIONS", "HOME", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "WINEARCH"};

std::vector<std::string> tool_environment(const Options& options) {
  std::vector<std::string> env = {"TZ=UTC", "PATH=/usr/bin:/bin"};
  std::string asan_options = "ASAN_OPTIONS=";
  if (const char* value = getenv("ASAN_OPTIONS")) {
    asan_options += std::string(value) + ":";
  }
  for (const char* keep : kKeptVariables) {
    if (const char* value = getenv(keep)) {
      env.push_back(std::string(keep) + "=" + value);
    }
  }
  if (!options.fake_time.empty()) {
    env.push_back(std::string("LD_PRELOAD=") + QUORVEL_FAKETIME_LIB);
    env.push_back("FAKETIME=" + options.fake_time);  // a stopped clock: no second ticks by
    env.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
    asan_options += "verify_asan_link_order=0";  // the time library is preloaded first
  }
  env.push_back(asan_options);
  return env;
}

// The wrapper set_wrapper chose; unset: QUORVEL_TEST_WRAPPER's.
bool g_wrapper_set = false;
std::string& configured_wrapper() {
  static std::string words;
  return words;
}

// The tool's argv: the wrapper's words (valgrind, wine...) in front of its path.
std::vector<std::string> tool_command(const std::vector<std::string>& args) {
  std::vector<std::string> argv = args;
  argv.insert(argv.begin(), tool_path());
  const char* wrapper =
      g_wrapper_set ? configured_wrapper().c_str() : getenv("QUORVEL_TEST_WRAPPER");
  if (wrapper != nullptr) {
    std::istringstream words(wrapper);
    std::vector<std::string> prefix;
    for (std::string word; words >> word;) {
      prefix.push_back(word);
    }
    argv.insert(argv.begin(), prefix.begin(), prefix.end());
  }
  return argv;
}

// True when text names a device of this machine that a test must never open (a real serial
// port, the test's own terminal): any character device but a pseudo-terminal's far end and the
// memory devices (/dev/null and the like).
bool real_device(const std::string& text) {
  struct stat info {};
  if (stat(text.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
    return false;
  }
  constexpr unsigned kMemoryDevices = 1;
  constexpr unsigned kFirstPtySlaves = 136;  // Unix98 pseudo-terminals: 136 to 143
  constexpr unsigned kLastPtySlaves = 143;
  const unsigned kind = major(info.st_rdev);
  return kind != kMemoryDevices && (kind < kFirstPtySlaves || kind > kLastPtySlaves);
}

// Removes the lock directory and whatever a run left in it.
struct LockDir {
  ~LockDir() {
    if (path.empty()) {
      return;
    }
    if (DIR* dir = opendir(path.c_str())) {
      for (dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
          const std::string inside = path + "/" + name;
          if (rmdir(inside.c_str()) != 0) {
            unlink(inside.c_str());
          }
        }
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  }
  std::string path;
};

}  // namespace

const std::string& lock_dir() {
  static LockDir made;
  if (made.path.empty()) {
    std::array<char, 64> name{};
    std::snprintf(name.data(), name.size(), "/tmp/quorvel-locks-XXXXXX");
    if (mkdtemp(name.data()) == nullptr || chmod(name.data(), 01777) != 0) {
      fail("cannot make a lock directory for the tool");
    }
    made.path = name.data();
  }
  return made.path;
}

void use_private_locks(const std::string& dir) {
  const bool private_root =
      unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  bool done = private_root && mount(dir.c_str(), "/run/lock", nullptr, MS_BIND, nullptr) == 0;
  struct stat other {};
  if (done && lstat("/var/lock", &other) == 0 && S_ISDIR(other.st_mode)) {
    done = mount(dir.c_str(), "/var/lock", nullptr, MS_BIND, nullptr) == 0;
  }
  if (!done) {
    const char text[] = "harness: cannot give the tool a lock directory of its own (needs root)\n";
    ssize_t ignored = write(2, text, sizeof text - 1);
    (void)ignored;
    _exit(126);
  }
}

void set_programs(const std::string& tool, const std::string& sim) {
  configured_tool() = tool;
  configured_sim() = sim;
}

void set_wrapper(const std::string& words) {
  configured_wrapper() = words;
  g_wrapper_set = true;
}

const std::string& tool_path() {
  static const std::string chosen = getenv("QUORVEL_TEST_TOOL") ? getenv("QUORVEL_TEST_TOOL") : "";
  return chosen.empty() ? configured_tool() : chosen;
}

const std::string& sim_path() {
  return configured_sim();
}

bool start_unit(Unit& unit, const std::vector<std::string>& options, const UnitPlace& place) {
  std::array<char, 64> dir_template{};
  std::snprintf(dir_template.data(), dir_template.size(), "/tmp/quorvel-e2e-XXXXXX");
  if (mkdtemp(dir_template.data()) == nullptr) {
    return fail("cannot make a directory for the simulated unit");
  }
  unit.dir = dir_template.data();
  const std::string link = place.link.empty() ? unit.dir + "/unit" : place.link;
  std::vector<std::string> argv = {sim_path(), "--link", link, "--wire", unit.dir + "/wire"};
  argv.insert(argv.end(), options.begin(), options.end());
  std::array<int, 2> out{};
  if (pipe2(out.data(), O_CLOEXEC) != 0) {
    return fail("cannot make a pipe for the simulated unit");
  }
  unit.pid = fork();
  if (unit.pid == 0) {
    setpgid(0, 0);  // a group of its own, so that stop_unit can end all of it
    dup2(out[1], 1);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    exec_words(argv, nullptr);
  }
  close(out[1]);
  unit.log_fd = out[0];
  if (unit.pid < 0) {
    return fail("cannot start the simulated unit");
  }
  setpgid(unit.pid, unit.pid);  // whichever of the two runs first
  for (const auto start = Clock::now();
       unit.log.find('\n') == std::string::npos && before(start, kDeadlineMs);) {
    if (!pump(unit.log_fd, unit.log, 100)) {
      return fail("the simulated unit did not start");
    }
  }
  unit.path = unit.log.substr(0, unit.log.find('\n'));
  unit.port = place.port.empty() ? unit.path : place.port;
  return unit.path != link && fail("the simulated unit serves " + unit.path + ", not " + link);
}

std::string stop_unit(Unit& unit, int deadline_ms) {
  if (unit.pid > 0) {
    kill(unit.pid, SIGTERM);
    const auto start = Clock::now();
    // Its log up to the end, which comes as it exits.
    while (before(start, deadline_ms) && pump(unit.log_fd, unit.log, 100)) {
    }
    pid_t done = 0;
    while (done != unit.pid && before(start, deadline_ms)) {
      done = waitpid(unit.pid, nullptr, WNOHANG);
      if (done == 0) {
        poll(nullptr, 0, 10);
      }
    }
    if (done != unit.pid) {
      fail("the simulated unit did not end on SIGTERM");
      kill(-unit.pid, SIGKILL);
      waitpid(unit.pid, nullptr, 0);
    }
    close(unit.log_fd);
    unit.pid = -1;
  }
  const std::size_t at = unit.log.rfind("final: ");
  if (at == std::string::npos) {
    return "";
  }
  const std::size_t end = unit.log.find('\n', at);
  return unit.log.substr(at + 7, end - at - 7);
}

Unit::~Unit() {
  stop_unit(*this);
  for (const char* name : {"/wire", "/unit"}) {
    unlink((dir + name).c_str());
  }
  rmdir(dir.c_str());
}

Tool::~Tool() {
  if (pid > 0) {
    // The whole group: a wrapper's children (valgrind's, wine's) go too.
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);  // in case it was killed before it made its own group
    if (leader < 0) {
      waitpid(pid, nullptr, 0);
    }
  }
  if (leader > 0) {
    // It ends once it has seen the tool end; it has nothing to hold it up.
    kill(leader, SIGKILL);
    waitpid(leader, nullptr, 0);
  }
  for (const int fd : {pid_fd, keys_fd, slave_fd, out_fd, err_fd, job_fd}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

std::string wire(const Unit& unit) {
  std::ifstream in(unit.dir + "/wire", std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

termios set_other_line(const Unit& unit) {
  termios line{};
  const int fd = open(unit.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || tcgetattr(fd, &line) != 0) {
    fail("cannot set the unit's port up as another program left it");
  }
  cfsetspeed(&line, B4800);
  line.c_lflag |= ICANON | ECHO;
  line.c_iflag |= ICRNL;
  tcsetattr(fd, TCSANOW, &line);
  close(fd);
  return line;
}

bool changed_line(const Unit& unit, const termios& expected) {
  termios line{};
  const int fd = open(unit.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const bool read = fd >= 0 && tcgetattr(fd, &line) == 0;
  if (fd >= 0) {
    close(fd);
  }
  return !read || line.c_iflag != expected.c_iflag || line.c_oflag != expected.c_oflag ||
         line.c_cflag != expected.c_cflag || line.c_lflag != expected.c_lflag ||
         cfgetospeed(&line) != cfgetospeed(&expected);
}

int take_unit_log(Unit& unit, int timeout_ms) {
  const std::size_t before = unit.log.size();
  if (unit.log_fd < 0 || !pump(unit.log_fd, unit.log, timeout_ms)) {
    return -1;
  }
  int lines = 0;
  for (std::size_t at = unit.log.find('\n', before); at != std::string::npos;
       at = unit.log.find('\n', at + 1)) {
    ++lines;
  }
  return lines;
}

bool start_tool(Tool& tool, const std::vector<std::string>& args, const Options& options) {
  for (const std::string& arg : args) {
    if (real_device(arg)) {
      return fail("the tool was to be given the real device " + arg +
                  "; tests use pseudo-terminals only");
    }
  }
  int keyboard_in = -1;
  std::string slave_name;
  std::array<int, 2> out{};
  std::array<int, 2> err{};
  if (options.keyboard == Keyboard::kTerminal) {
    std::array<char, 128> name{};
    if (openpty(&tool.keys_fd, &tool.slave_fd, name.data(), nullptr, nullptr) != 0) {
      return fail("cannot make the keyboard terminal");
    }
    fcntl(tool.keys_fd, F_SETFD, FD_CLOEXEC);
    fcntl(tool.slave_fd, F_SETFD, FD_CLOEXEC);
    slave_name = name.data();
    tcgetattr(tool.slave_fd, &tool.modes_before);
  } else {
    std::array<int, 2> keys{};
    if (pipe2(keys.data(), O_CLOEXEC) != 0) {
      return fail("cannot make the keyboard pipe");
    }
    keyboard_in = keys[0];
    tool.keys_fd = keys[1];
    signal(SIGPIPE, SIG_IGN);
  }
  tool.screen = options.screen && !slave_name.empty();
  if ((!tool.screen && (pipe2(out.data(), O_CLOEXEC) != 0 || pipe2(err.data(), O_CLOEXEC) != 0))) {
    return fail("cannot make the output pipes");
  }
  if (!options.fake_time.empty() && std::string(QUORVEL_FAKETIME_LIB).empty()) {
    return fail("libfaketime missing: scripts/install-deps.sh");
  }
  const std::vector<std::string> argv = tool_command(args);
  const std::vector<std::string> env = tool_environment(options);
  lock_dir();  // made here, before the fork, as the one directory of every run
  if (options.job_control) {
    return start_as_job(tool, slave_name, argv, env, out, err);
  }

  tool.started = Clock::now();
  tool.pid = fork();
  if (tool.pid == 0) {
    const rlimit no_core{0, 0};  // SIGQUIT cases must not leave core files behind
    setrlimit(RLIMIT_CORE, &no_core);
    setsid();
    use_private_locks(lock_dir());
    if (!slave_name.empty()) {
      // The keyboard terminal becomes the tool's controlling terminal, so Ctrl-C is SIGINT.
      const int tty = open(slave_name.c_str(), O_RDWR);
      ioctl(tty, TIOCSCTTY, 0);
      dup2(tty, 0);
      if (tool.screen) {
        dup2(tty, 1);
        dup2(tty, 2);
      }
    } else {
      dup2(keyboard_in, 0);
    }
    if (!tool.screen) {
      dup2(out[1], 1);
      dup2(err[1], 2);
    }
    exec_words(argv, &env);
  }
  if (keyboard_in >= 0) {
    close(keyboard_in);
  }
  if (tool.screen) {
    tool.out_fd = fcntl(tool.keys_fd, F_DUPFD_CLOEXEC, 0);
  } else {
    close(out[1]);
    close(err[1]);
    tool.out_fd = out[0];
    tool.err_fd = err[0];
  }
  if (tool.pid < 0) {
    return fail("cannot start the tool");
  }
  tool.pid_fd = static_cast<int>(syscall(SYS_pidfd_open, tool.pid, 0));
  return false;
}

int run(Tool& tool, const std::vector<std::string>& args, const Options& options) {
  start_tool(tool, args, options);
  return wait_exit(tool);
}

}  // namespace e2e
