#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
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

// What the pseudo-terminal echoes to its master before the tool takes raw mode is not output,
// unless the terminal is the tool's screen.
void drain_keyboard(Tool& tool) {
  if (tool.slave_fd >= 0 && !tool.screen) {
    drain(tool.keys_fd);
  }
}

}  // namespace

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

void take_errors(Tool& tool, int timeout_ms) {
  while (tool.err_fd >= 0) {
    const std::size_t before = tool.err.size();
    if (!pump(tool.err_fd, tool.err, timeout_ms)) {
      close(tool.err_fd);
      tool.err_fd = -1;
    } else if (tool.err.size() == before) {
      break;
    }
  }
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

std::string stop_unit(Unit& unit) {
  if (unit.pid > 0) {
    kill(unit.pid, SIGTERM);
    while (pump(unit.log_fd, unit.log, 1000)) {
    }
    waitpid(unit.pid, nullptr, 0);
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
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  for (const int fd : {pid_fd, keys_fd, slave_fd, out_fd, err_fd}) {
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

  tool.started = Clock::now();
  tool.pid = fork();
  if (tool.pid == 0) {
    const rlimit no_core{0, 0};  // SIGQUIT cases must not leave core files behind
    setrlimit(RLIMIT_CORE, &no_core);
    setsid();
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
  pid_t done = 0;
  for (const auto start = Clock::now(); done != tool.pid && before(start, deadline_ms);) {
    drain_keyboard(tool);
    take_errors(tool, 0);
    // The output, and the end of the tool itself, so that its end is seen when it comes.
    const bool open = pump_until_end(tool.out_fd, tool.out, tool.pid_fd, 50);
    done = wait4(tool.pid, &status, open ? WNOHANG : 0, &tool.usage);
  }
  tool.ended = Clock::now();
  if (done != tool.pid) {
    kill(tool.pid, SIGKILL);
    wait4(tool.pid, &status, 0, &tool.usage);
    status = -1;
  } else {
    // The tool is gone; take the rest of what it wrote, up to the end of the pipe (or, on a
    // terminal, as long as more comes).
    for (std::size_t before = std::string::npos; tool.out_fd >= 0 && before != tool.out.size();) {
      before = tool.out.size();
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

int run(Tool& tool, const std::vector<std::string>& args, const Options& options) {
  start_tool(tool, args, options);
  return wait_exit(tool);
}

}  // namespace e2e
