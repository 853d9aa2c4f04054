#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace e2e {
namespace {

// Milliseconds left until deadline_ms from `start` on the monotonic clock.
using Clock = std::chrono::steady_clock;
bool before(Clock::time_point start, int deadline_ms) {
  return Clock::now() - start < std::chrono::milliseconds(deadline_ms);
}

std::vector<char*> c_strings(std::vector<std::string>& words) {
  std::vector<char*> out;
  for (std::string& word : words) {
    out.push_back(word.data());
  }
  out.push_back(nullptr);
  return out;
}

// Appends what is readable now (waiting up to timeout_ms); false at end of file.
bool pump(int fd, std::string& into, int timeout_ms) {
  pollfd pfd{fd, POLLIN, 0};
  if (poll(&pfd, 1, timeout_ms) <= 0) {
    return true;
  }
  std::array<char, 4096> buffer{};
  const ssize_t got = read(fd, buffer.data(), buffer.size());
  if (got > 0) {
    into.append(buffer.data(), static_cast<std::size_t>(got));
    return true;
  }
  return got < 0 && (errno == EINTR || errno == EAGAIN);
}

// Throws away what the pseudo-terminal echoes to its master before the tool takes raw mode.
void drain(int fd) {
  std::string ignored;
  while (fd >= 0 && pump(fd, ignored, 0) && !ignored.empty()) {
    ignored.clear();
  }
}

}  // namespace

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

const std::string& tool_path() {
  static const std::string path = QUORVEL_SETUP_PATH;
  return path;
}

void start_unit(Unit& unit, const std::vector<std::string>& options) {
  std::array<char, 64> dir_template{};
  std::snprintf(dir_template.data(), dir_template.size(), "/tmp/quorvel-e2e-XXXXXX");
  ASSERT_NE(mkdtemp(dir_template.data()), nullptr);
  unit.dir = dir_template.data();
  std::vector<std::string> argv = {QUORVEL_SIM_PATH, "--link", unit.dir + "/unit", "--wire",
                                   unit.dir + "/wire"};
  argv.insert(argv.end(), options.begin(), options.end());
  std::array<int, 2> out{};
  ASSERT_EQ(pipe2(out.data(), O_CLOEXEC), 0);
  unit.pid = fork();
  ASSERT_GE(unit.pid, 0);
  if (unit.pid == 0) {
    dup2(out[1], 1);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    std::vector<char*> args = c_strings(argv);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  unit.log_fd = out[0];
  for (const auto start = Clock::now();
       unit.log.find('\n') == std::string::npos && before(start, kDeadlineMs);) {
    ASSERT_TRUE(pump(unit.log_fd, unit.log, 100)) << "the simulated unit did not start";
  }
  unit.path = unit.log.substr(0, unit.log.find('\n'));
  ASSERT_EQ(unit.path, unit.dir + "/unit");
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
  for (const int fd : {keys_fd, slave_fd, out_fd, err_fd}) {
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

void start_tool(Tool& tool, const std::vector<std::string>& args, const Options& options) {
  int keyboard_in = -1;
  std::string slave_name;
  if (options.keyboard == Keyboard::kTerminal) {
    int master = -1;
    int slave = -1;
    std::array<char, 128> name{};
    ASSERT_EQ(openpty(&master, &slave, name.data(), nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    tool.keys_fd = master;
    tool.slave_fd = slave;
    slave_name = name.data();
    ASSERT_EQ(tcgetattr(slave, &tool.modes_before), 0);
  } else {
    std::array<int, 2> keys{};
    ASSERT_EQ(pipe2(keys.data(), O_CLOEXEC), 0);
    keyboard_in = keys[0];
    tool.keys_fd = keys[1];
    signal(SIGPIPE, SIG_IGN);
  }
  std::array<int, 2> out{};
  ASSERT_EQ(pipe2(out.data(), O_CLOEXEC), 0);
  std::array<int, 2> err{};
  ASSERT_EQ(pipe2(err.data(), O_CLOEXEC), 0);

  std::vector<std::string> argv = args;
  argv.insert(argv.begin(), tool_path());
  if (const char* wrapper = getenv("QUORVEL_TEST_WRAPPER")) {
    std::istringstream words(wrapper);
    std::vector<std::string> prefix;
    for (std::string word; words >> word;) {
      prefix.push_back(word);
    }
    argv.insert(argv.begin(), prefix.begin(), prefix.end());
  }
  std::vector<std::string> env = {"TZ=UTC", "PATH=/usr/bin:/bin"};
  std::string asan_options = "ASAN_OPTIONS=";
  if (const char* value = getenv("ASAN_OPTIONS")) {
    asan_options += std::string(value) + ":";
  }
  for (const char* keep : {"UBSAN_OPTIONS", "HOME"}) {
    if (const char* value = getenv(keep)) {
      env.push_back(std::string(keep) + "=" + value);
    }
  }
  if (!options.fake_time.empty()) {
    ASSERT_NE(std::string(QUORVEL_FAKETIME_LIB), "")
        << "libfaketime missing: scripts/install-deps.sh";
    env.push_back(std::string("LD_PRELOAD=") + QUORVEL_FAKETIME_LIB);
    env.push_back("FAKETIME=" + options.fake_time);  // a stopped clock: no second ticks by
    env.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
    asan_options += "verify_asan_link_order=0";  // the time library is preloaded first
  }
  env.push_back(asan_options);

  tool.pid = fork();
  ASSERT_GE(tool.pid, 0);
  if (tool.pid == 0) {
    const rlimit no_core{0, 0};  // SIGQUIT cases must not leave core files behind
    setrlimit(RLIMIT_CORE, &no_core);
    setsid();
    if (!slave_name.empty()) {
      // The keyboard terminal becomes the tool's controlling terminal, so Ctrl-C is SIGINT.
      const int tty = open(slave_name.c_str(), O_RDWR);
      ioctl(tty, TIOCSCTTY, 0);
      dup2(tty, 0);
    } else {
      dup2(keyboard_in, 0);
    }
    dup2(out[1], 1);
    dup2(err[1], 2);
    std::vector<char*> args_c = c_strings(argv);
    std::vector<char*> env_c = c_strings(env);
    execve(args_c[0], args_c.data(), env_c.data());
    _exit(127);
  }
  if (keyboard_in >= 0) {
    close(keyboard_in);
  }
  close(out[1]);
  close(err[1]);
  tool.out_fd = out[0];
  tool.err_fd = err[0];
}

bool wait_output(Tool& tool, const std::string& text, std::size_t from, int deadline_ms) {
  for (const auto start = Clock::now(); before(start, deadline_ms);) {
    if (tool.out.find(text, from) != std::string::npos) {
      return true;
    }
    drain(tool.slave_fd >= 0 ? tool.keys_fd : -1);
    take_errors(tool, 0);
    if (!pump(tool.out_fd, tool.out, 50)) {
      return tool.out.find(text, from) != std::string::npos;
    }
  }
  return false;
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
  EXPECT_EQ(write(tool.keys_fd, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
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
  int status = 0;
  pid_t done = 0;
  for (const auto start = Clock::now(); before(start, deadline_ms);) {
    drain(tool.slave_fd >= 0 ? tool.keys_fd : -1);
    take_errors(tool, 0);
    const bool open =
        tool.out_fd < 0 ? (poll(nullptr, 0, 50), true) : pump(tool.out_fd, tool.out, 50);
    done = waitpid(tool.pid, &status, WNOHANG);
    if (done == tool.pid) {
      break;
    }
    if (!open) {
      done = waitpid(tool.pid, &status, 0);
      break;
    }
  }
  if (done != tool.pid) {
    kill(tool.pid, SIGKILL);
    waitpid(tool.pid, &status, 0);
    status = -1;
  } else {
    // The tool is gone; take the rest of what it wrote, up to the end of the pipe.
    for (std::size_t before = std::string::npos; tool.out_fd >= 0 && before != tool.out.size();) {
      before = tool.out.size();
      if (!pump(tool.out_fd, tool.out, 1000)) {
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

double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long utime = 0;
  unsigned long stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) {
      utime = std::stoul(field);
    } else if (i == 15) {
      stime = std::stoul(field);
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int run(Tool& tool, const std::vector<std::string>& args, const Options& options) {
  start_tool(tool, args, options);
  return wait_exit(tool);
}

namespace {
std::string format(const char* pattern, unsigned a, unsigned b = 0, unsigned c = 0) {
  std::array<char, 128> text{};
  std::snprintf(text.data(), text.size(), pattern, a, b, c);
  return text.data();
}
}  // namespace

std::string summary(const Settings& s) {
  return " Opened COM port                : " + s.port + "\n" +
         format("                                  %u baud\n", s.baud) +
         format(" Timings: between chars         : %u ms\n", s.char_ms) +
         format("          between lines         : %u ms\n", s.line_ms) +
         format(" Time                           : %u:%u:%u\n", s.hour, s.minute, s.second) +
         format(" Date                           : %u\\%u\\%u\n", s.day, s.month, s.year + 2000) +
         format(" Out1                   minimum : %u\n", s.out1[0]) +
         format("                        maximum : %u\n", s.out1[1]) +
         format("                    puls length : %ux10ms=%ums\n", s.out1[2], s.out1[2] * 10) +
         format(" Out2                   minimum : %u\n", s.out2[0]) +
         format("                        maximum : %u\n", s.out2[1]) +
         format("                    puls length : %ux10ms=%ums\n", s.out2[2], s.out2[2] * 10) +
         format("                    waittime    : %ux10ms=%ums\n", s.out2[3], s.out2[3] * 10);
}

std::string sixteen_done() {
  return "Sending data\n"
         " - Try unlock                   : Done\n"
         " - Stop time               { 6} : Done\n"
         " - Set output 1, minimum   { 7} : Done\n"
         " - Set output 1, maximum   { 8} : Done\n"
         " - Set output 1, puls len  { 9} : Done\n"
         " - Set output 2, minimum   {10} : Done\n"
         " - Set output 2, maximum   {11} : Done\n"
         " - Set output 2, puls len  {12} : Done\n"
         " - Set output 2, waittime  {13} : Done\n"
         " - Set seconds             { 1} : Done\n"
         " - Set minutes             { 2} : Done\n"
         " - Set hours               { 3} : Done\n"
         " - Set year                { 4} : Done\n"
         " - Set month               { 5} : Done\n"
         " - Set day                 { 6} : Done\n"
         " - Try lock                     : Done\n"
         "All done without errors\n";
}

std::string clean_wire(const Settings& s) {
  const unsigned lines[16][2] = {{958, 1},        {6, 0},          {7, s.out1[0]},  {8, s.out1[1]},
                                 {9, s.out1[2]},  {10, s.out2[0]}, {11, s.out2[1]}, {12, s.out2[2]},
                                 {13, s.out2[3]}, {1, s.second},   {2, s.minute},   {3, s.hour},
                                 {4, s.year},     {5, s.month},    {6, s.day},      {958, 0}};
  std::string bytes;
  for (const auto& line : lines) {
    bytes += format("\r%u:%u\r\r", line[0], line[1]);
  }
  return bytes;
}

std::string loaded_state(const Settings& s) {
  std::array<char, 160> text{};
  std::snprintf(text.data(), text.size(),
                "clock %02u:%02u:%02u date %u\\%u\\%u running locked out1 %u,%u,%u out2 "
                "%u,%u,%u,%u",
                s.hour, s.minute, s.second, s.day, s.month, s.year + 2000, s.out1[0], s.out1[1],
                s.out1[2], s.out2[0], s.out2[1], s.out2[2], s.out2[3]);
  return text.data();
}

}  // namespace e2e
