// quorvel-bench: measures the real quorvel-setup against the simulated unit and prints a table.
// It measures and reports; it judges nothing.
//
//   full run, -a 0 -l 0      sixteen lines, wall time against the pacing floor, CPU share
//   full run, -a 0 -l 50     the same with the default line pause
//   retries, silent unit     CPU share while the tool resends to a unit that never echoes
//   idle dialogue prompt     CPU share while the tool waits at its first prompt
//
// Usage: quorvel-bench [--runs N] [--retry-seconds S] [--idle-seconds S] [TOOL [SIM]]
// TOOL and SIM default to quorvel-setup and quorvel-sim next to this program.
// The tool's keyboard and screen are a pseudo-terminal, as in the field.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kMaxRuns = 50;
constexpr std::size_t kPathBytes = 4096;
constexpr std::size_t kStreamBytes = 65536;
constexpr double kDeadlineSeconds = 60.0;  // for one run to finish; far beyond any normal run

// What the settings make the tool pause, in ms, for one attempt at each line.
constexpr std::uint32_t kLeadPauseMs = 10;
constexpr std::uint32_t kMinimumPauseMs = 20;  // every nonzero pause lasts at least this long

// The sixteen lines a run with -t 12:30:00 -d 7\12\2009 and default outputs sends.
constexpr std::array<const char*, 16> kRunLines{
    "958:1\r", "6:0\r", "7:0\r",  "8:100\r", "9:0\r", "10:0\r", "11:100\r", "12:0\r",
    "13:0\r",  "1:0\r", "2:30\r", "3:12\r",  "4:9\r", "5:12\r", "6:7\r",    "958:0\r"};

constexpr const char kFirstPrompt[] = " Port name               [ COM1]: ";
constexpr const char kRetryText[] = "Failed (press ESC to exit)";
constexpr const char kAllDone[] = "All done without errors";
constexpr const char kUserAbort[] = "User abort";

using Path = std::array<char, kPathBytes>;

double now_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::uint32_t paused(std::uint32_t ms) {
  return ms == 0 ? 0 : std::max(ms, kMinimumPauseMs);
}

// The sum of the pauses one clean run asks for: per line the lead pause after the lone CR, the
// character pause after every byte (the line, its CR and one more CR), and the line pause.
double pacing_floor_seconds(std::uint32_t char_ms, std::uint32_t line_ms) {
  std::uint64_t total_ms = 0;
  for (const char* line : kRunLines) {
    const std::uint64_t bytes = std::strlen(line) + 1U;
    total_ms += paused(kLeadPauseMs) + bytes * paused(char_ms) + paused(line_ms);
  }
  return static_cast<double>(total_ms) / 1000.0;
}

// Output of a child, read as it comes so that the child never blocks on a full buffer. Keeps
// the most recent text; `dropped` counts what was discarded in front of it.
struct Stream {
  int fd = -1;
  bool ended = false;
  std::size_t length = 0;
  std::size_t dropped = 0;
  std::array<char, kStreamBytes + 1> text{};
};

void take(Stream& stream, const char* bytes, std::size_t count) {
  if (stream.length + count > kStreamBytes) {
    const std::size_t keep = kStreamBytes / 2;
    const std::size_t drop = stream.length > keep ? stream.length - keep : 0;
    std::memmove(stream.text.data(), stream.text.data() + drop, stream.length - drop);
    stream.length -= drop;
    stream.dropped += drop;
  }
  count = std::min(count, kStreamBytes - stream.length);
  std::memcpy(stream.text.data() + stream.length, bytes, count);
  stream.length += count;
  stream.text[stream.length] = '\0';
}

// Reads what is waiting on each open stream, blocking up to timeout_ms for the first byte.
// Returns true when something was read or a stream ended.
bool pump(Stream* a, Stream* b, int timeout_ms) {
  std::array<pollfd, 2> fds{};
  std::array<Stream*, 2> streams{};
  nfds_t n = 0;
  for (Stream* s : {a, b}) {
    if (s != nullptr && !s->ended && s->fd >= 0) {
      fds[n] = pollfd{s->fd, POLLIN, 0};
      streams[n] = s;
      ++n;
    }
  }
  if (n == 0) {
    if (timeout_ms > 0) {
      poll(nullptr, 0, timeout_ms);
    }
    return false;
  }
  if (poll(fds.data(), n, timeout_ms) <= 0) {
    return false;
  }
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].revents == 0) {
      continue;
    }
    std::array<char, 4096> chunk{};
    const ssize_t got = read(fds[i].fd, chunk.data(), chunk.size());
    if (got > 0) {
      take(*streams[i], chunk.data(), static_cast<std::size_t>(got));
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      streams[i]->ended = true;  // EIO: the last holder of the terminal's other side is gone
    }
  }
  return true;
}

// Pumps until `text` appears in `watched` (true) or `seconds` have passed (false).
bool wait_text(Stream& watched, Stream* other, const char* text, double seconds) {
  const double deadline = now_seconds() + seconds;
  for (;;) {
    if (std::strstr(watched.text.data(), text) != nullptr) {
      return true;
    }
    const double left = deadline - now_seconds();
    if (left <= 0 || watched.ended) {
      return false;
    }
    pump(&watched, other, static_cast<int>(left * 1000.0) + 1);
  }
}

// Pumps both streams for `seconds`.
void pump_for(Stream& a, Stream* b, double seconds) {
  const double deadline = now_seconds() + seconds;
  for (double left = seconds; left > 0; left = deadline - now_seconds()) {
    pump(&a, b, static_cast<int>(left * 1000.0) + 1);
  }
}

// The simulated unit: its process and its log on a pipe.
struct Unit {
  pid_t pid = -1;
  Stream log;
  Path path{};
};

// Runs words[0] with the words as its arguments; only returns (as exit 127) when that fails.
// execv wants writable strings, so the child gets its own copies.
[[noreturn]] void exec_words(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

bool start_unit(Unit& unit, const char* sim, const char* link, bool silent) {
  std::array<int, 2> pipe_fds{};
  if (pipe2(pipe_fds.data(), O_CLOEXEC) != 0) {
    return false;
  }
  unit.pid = fork();
  if (unit.pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, STDIN_FILENO);
    }
    std::vector<std::string> words{sim, "--link", link};
    if (silent) {
      words.emplace_back("--silent");
    }
    exec_words(words);
  }
  close(pipe_fds[1]);
  unit.log = Stream{};
  unit.log.fd = pipe_fds[0];
  if (unit.pid < 0) {
    close(unit.log.fd);
    return false;
  }
  // Line 1 is the path to open.
  if (!wait_text(unit.log, nullptr, "\n", 10.0)) {
    return false;
  }
  const char* newline = std::strchr(unit.log.text.data(), '\n');
  const auto length = static_cast<std::size_t>(newline - unit.log.text.data());
  std::snprintf(unit.path.data(), unit.path.size(), "%.*s", static_cast<int>(length),
                unit.log.text.data());
  return true;
}

void stop_unit(Unit& unit) {
  if (unit.pid > 0) {
    kill(unit.pid, SIGTERM);
    while (!unit.log.ended) {
      pump(&unit.log, nullptr, 5000);
    }
    waitpid(unit.pid, nullptr, 0);
    unit.pid = -1;
  }
  if (unit.log.fd >= 0) {
    close(unit.log.fd);
    unit.log.fd = -1;
  }
}

// The tool on a pseudo-terminal: the bench holds the master, the tool's stdin, stdout and
// stderr are the slave, in a session of its own.
struct Tool {
  pid_t pid = -1;
  Stream screen;  // reads the master; writes to it are keys
  double started = 0;
  double ended = 0;
  int status = -1;
  rusage usage{};
};

bool start_tool(Tool& tool, const std::vector<std::string>& words) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    if (master >= 0) {
      close(master);
    }
    return false;
  }
  Path slave_name{};
  if (ptsname_r(master, slave_name.data(), slave_name.size()) != 0) {
    close(master);
    return false;
  }
  // Opened here, before the fork, so that the terminal always has a holder on the tool's side:
  // the master reads EIO only once the tool is gone.
  const int slave = open(slave_name.data(), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    close(master);
    return false;
  }
  tool = Tool{};
  tool.started = now_seconds();
  tool.pid = fork();
  if (tool.pid == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);  // the tool's controlling terminal, as in a console session
    dup2(slave, STDIN_FILENO);
    dup2(slave, STDOUT_FILENO);
    dup2(slave, STDERR_FILENO);
    if (slave > STDERR_FILENO) {
      close(slave);
    }
    exec_words(words);
  }
  close(slave);
  tool.screen.fd = master;
  if (tool.pid < 0) {
    close(master);
    return false;
  }
  return true;
}

void press(Tool& tool, std::uint8_t key) {
  while (write(tool.screen.fd, &key, 1) < 0 && errno == EINTR) {
  }
}

// Waits for the tool's end, reading its screen meanwhile; kills it past the deadline.
void finish_tool(Tool& tool, Stream* other) {
  const double deadline = tool.started + kDeadlineSeconds;
  for (;;) {
    pid_t done = wait4(tool.pid, &tool.status, WNOHANG, &tool.usage);
    if (done == tool.pid) {
      break;
    }
    if (now_seconds() > deadline) {
      kill(tool.pid, SIGKILL);
      wait4(tool.pid, &tool.status, 0, &tool.usage);
      std::fprintf(stderr, "quorvel-bench: the tool did not finish in time; killed\n");
      break;
    }
    // The master reads EIO once the tool has closed the terminal, that is at its exit.
    if (tool.screen.ended) {
      done = wait4(tool.pid, &tool.status, 0, &tool.usage);
      break;
    }
    pump(&tool.screen, other, 100);
  }
  tool.ended = now_seconds();
  while (!tool.screen.ended && pump(&tool.screen, nullptr, 0)) {
    // what the tool printed last
  }
  close(tool.screen.fd);
  tool.screen.fd = -1;
}

int exit_code(const Tool& tool) {
  return WIFEXITED(tool.status) ? WEXITSTATUS(tool.status) : 128 + WTERMSIG(tool.status);
}

double cpu_of(const rusage& usage) {
  const auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU seconds a running process has used: the scheduler's nanosecond count from
// /proc/<pid>/schedstat where the kernel keeps it, else user + system ticks from
// /proc/<pid>/stat. -1 on failure. `fine` tells which one answered.
double cpu_so_far(pid_t pid, bool& fine) {
  std::array<char, 64> name{};
  std::snprintf(name.data(), name.size(), "/proc/%d/schedstat", static_cast<int>(pid));
  FILE* file = std::fopen(name.data(), "r");
  if (file != nullptr) {
    unsigned long long on_cpu_ns = 0;
    const bool read_ok = std::fscanf(file, "%llu", &on_cpu_ns) == 1;
    std::fclose(file);
    if (read_ok) {
      fine = true;
      return static_cast<double>(on_cpu_ns) * 1e-9;
    }
  }
  fine = false;
  std::snprintf(name.data(), name.size(), "/proc/%d/stat", static_cast<int>(pid));
  file = std::fopen(name.data(), "r");
  if (file == nullptr) {
    return -1;
  }
  std::array<char, 1024> line{};
  const bool read_ok = std::fgets(line.data(), static_cast<int>(line.size()), file) != nullptr;
  std::fclose(file);
  const char* after_name = read_ok ? std::strrchr(line.data(), ')') : nullptr;
  unsigned long user_ticks = 0;
  unsigned long system_ticks = 0;
  // After the name: state, ppid, pgrp, session, tty, tpgid, flags, 4 fault counts, utime, stime.
  if (after_name == nullptr ||
      std::sscanf(after_name + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                  &user_ticks, &system_ticks) != 2) {
    return -1;
  }
  return static_cast<double>(user_ticks + system_ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Whether every windowed CPU figure came from the nanosecond count.
bool g_fine_cpu = true;

struct Sample {
  double wall = 0;  // seconds
  double cpu = 0;   // seconds
};

struct CaseResult {
  const char* name = "";
  double floor = 0;  // 0: no floor for this case
  int runs = 0;
  int failed_runs = 0;
  std::array<Sample, kMaxRuns> samples{};
};

double median(std::array<double, kMaxRuns> values, int count) {
  if (count == 0) {
    return 0;
  }
  std::sort(values.begin(), values.begin() + count);
  return count % 2 == 1 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

struct Config {
  int runs = 5;
  double retry_seconds = 5.0;
  double idle_seconds = 3.0;
  const char* tool = nullptr;
  const char* sim = nullptr;
  Path dir{};
  Path link{};
};

// Case 1 and 2: one clean sixteen-line run; wall time from start to exit, CPU from wait4.
bool full_run(const Config& config, const char* char_ms, const char* line_ms, Sample& sample) {
  Unit unit;
  if (!start_unit(unit, config.sim, config.link.data(), false)) {
    stop_unit(unit);
    return false;
  }
  const std::vector<std::string> words{config.tool, "-c", unit.path.data(), "-a",
                                       char_ms,     "-l", line_ms,          "-t",
                                       "12:30:00",  "-d", "7\\12\\2009"};
  Tool tool;
  if (!start_tool(tool, words)) {
    stop_unit(unit);
    return false;
  }
  finish_tool(tool, &unit.log);
  stop_unit(unit);
  sample.wall = tool.ended - tool.started;
  sample.cpu = cpu_of(tool.usage);
  const bool ok = exit_code(tool) == 0 && std::strstr(tool.screen.text.data(), kAllDone) != nullptr;
  if (!ok) {
    std::fprintf(stderr, "quorvel-bench: full run ended with %d:\n%s\n", exit_code(tool),
                 tool.screen.text.data());
  }
  return ok;
}

// Lets the tool run for `seconds` while its output (and the unit's log, if any) is read, and
// takes the CPU it used over that window. False when its CPU time could not be read.
bool measure_window(Tool& tool, Stream* unit_log, double seconds, Sample& sample) {
  bool fine = false;
  const double cpu_before = cpu_so_far(tool.pid, fine);
  const double t0 = now_seconds();
  pump_for(tool.screen, unit_log, seconds);
  const double cpu_after = cpu_so_far(tool.pid, fine);
  g_fine_cpu = g_fine_cpu && fine;
  sample.wall = now_seconds() - t0;
  sample.cpu = cpu_after - cpu_before;
  return cpu_before >= 0 && cpu_after >= 0;
}

// Case 3: resending to a unit that never echoes; CPU over the retry window, then ESC.
bool retry_run(const Config& config, Sample& sample) {
  Unit unit;
  if (!start_unit(unit, config.sim, config.link.data(), true)) {
    stop_unit(unit);
    return false;
  }
  // Default pacing, as a technician would run it.
  const std::vector<std::string> words{config.tool, "-c", unit.path.data(), "-t",
                                       "12:30:00",  "-d", "7\\12\\2009"};
  Tool tool;
  if (!start_tool(tool, words)) {
    stop_unit(unit);
    return false;
  }
  bool ok = wait_text(tool.screen, &unit.log, kRetryText, 10.0);
  ok = ok && measure_window(tool, &unit.log, config.retry_seconds, sample);
  press(tool, 0x1b);
  finish_tool(tool, &unit.log);
  stop_unit(unit);
  ok = ok && exit_code(tool) == 0 && std::strstr(tool.screen.text.data(), kUserAbort) != nullptr;
  if (!ok) {
    std::fprintf(stderr, "quorvel-bench: retry run ended with %d:\n%s\n", exit_code(tool),
                 tool.screen.text.data());
  }
  return ok;
}

// Case 4: the dialogue's first prompt, untouched; CPU over the wait, then ESC.
bool idle_run(const Config& config, Sample& sample) {
  const std::vector<std::string> words{config.tool};
  Tool tool;
  if (!start_tool(tool, words)) {
    return false;
  }
  bool ok = wait_text(tool.screen, nullptr, kFirstPrompt, 10.0);
  ok = ok && measure_window(tool, nullptr, config.idle_seconds, sample);
  press(tool, 0x1b);
  finish_tool(tool, nullptr);
  ok = ok && exit_code(tool) == 1;  // ESC in the dialogue ends the run with 1
  if (!ok) {
    std::fprintf(stderr, "quorvel-bench: idle run ended with %d:\n%s\n", exit_code(tool),
                 tool.screen.text.data());
  }
  return ok;
}

void print_row(const CaseResult& result) {
  std::array<double, kMaxRuns> walls{};
  std::array<double, kMaxRuns> shares{};
  const int good = result.runs - result.failed_runs;
  double worst = 0;
  for (int i = 0; i < good; ++i) {
    walls[i] = result.samples[i].wall;
    shares[i] =
        result.samples[i].wall > 0 ? 100.0 * result.samples[i].cpu / result.samples[i].wall : 0;
    worst = std::max(worst, shares[i]);
  }
  const double wall = median(walls, good);
  std::array<char, 32> floor_text{"-"};
  std::array<char, 32> ratio_text{"-"};
  if (result.floor > 0 && good > 0) {
    std::snprintf(floor_text.data(), floor_text.size(), "%.0f ms", result.floor * 1000.0);
    std::snprintf(ratio_text.data(), ratio_text.size(), "%.2f", wall / result.floor);
  }
  std::array<char, 48> runs_text{};
  const int written = result.failed_runs > 0
                          ? std::snprintf(runs_text.data(), runs_text.size(), "%d (+%d failed)",
                                          good, result.failed_runs)
                          : std::snprintf(runs_text.data(), runs_text.size(), "%d", good);
  if (written < 0) {
    runs_text[0] = '\0';
  }
  std::printf("| %-28s | %-4s | %9.0f ms | %8s | %5s | %6.2f %% | %6.2f %% |\n", result.name,
              runs_text.data(), wall * 1000.0, floor_text.data(), ratio_text.data(),
              median(shares, good), worst);
}

bool parse_arguments(int argc, char** argv, Config& config) {
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--runs") == 0 && has_value) {
      config.runs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--retry-seconds") == 0 && has_value) {
      config.retry_seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--idle-seconds") == 0 && has_value) {
      config.idle_seconds = std::atof(argv[++i]);
    } else if (argv[i][0] != '-' && positional == 0) {
      config.tool = argv[i];
      ++positional;
    } else if (argv[i][0] != '-' && positional == 1) {
      config.sim = argv[i];
      ++positional;
    } else {
      return true;
    }
  }
  return config.runs < 1 || config.runs > kMaxRuns || config.retry_seconds <= 0 ||
         config.idle_seconds <= 0;
}

// `name` in the directory this program lives in.
void beside_me(const char* name, Path& out) {
  Path self{};
  const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) {
    std::snprintf(out.data(), out.size(), "%s", name);
    return;
  }
  self[static_cast<std::size_t>(length)] = '\0';
  char* slash = std::strrchr(self.data(), '/');
  if (slash != nullptr) {
    *slash = '\0';
  }
  const int written = std::snprintf(out.data(), out.size(), "%s/%s", self.data(), name);
  if (written < 0 || static_cast<std::size_t>(written) >= out.size()) {
    std::snprintf(out.data(), out.size(), "%s", name);
  }
}

void print_machine() {
  std::array<char, 256> model{"unknown"};
  FILE* info = std::fopen("/proc/cpuinfo", "r");
  if (info != nullptr) {
    std::array<char, 512> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), info) != nullptr) {
      if (std::strncmp(line.data(), "model name", 10) == 0) {
        const char* colon = std::strchr(line.data(), ':');
        if (colon != nullptr) {
          std::snprintf(model.data(), model.size(), "%s", colon + 2);
          model[std::strcspn(model.data(), "\n")] = '\0';
        }
        break;
      }
    }
    std::fclose(info);
  }
  std::printf("machine: %ld CPUs, %s\n", sysconf(_SC_NPROCESSORS_ONLN), model.data());
}

}  // namespace

int main(int argc, char** argv) {
  Config config;
  if (parse_arguments(argc, argv, config)) {
    std::fprintf(stderr,
                 "usage: %s [--runs N] [--retry-seconds S] [--idle-seconds S] [TOOL [SIM]]\n",
                 argv[0]);
    return 2;
  }
  Path tool_path{};
  Path sim_path{};
  if (config.tool == nullptr) {
    beside_me("quorvel-setup", tool_path);
    config.tool = tool_path.data();
  }
  if (config.sim == nullptr) {
    beside_me("quorvel-sim", sim_path);
    config.sim = sim_path.data();
  }
  for (const char* program : {config.tool, config.sim}) {
    if (access(program, X_OK) != 0) {
      std::fprintf(stderr, "quorvel-bench: cannot run %s\n", program);
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  std::snprintf(config.dir.data(), config.dir.size(), "/tmp/quorvel-bench-XXXXXX");
  if (mkdtemp(config.dir.data()) == nullptr) {
    std::perror("quorvel-bench: mkdtemp");
    return 2;
  }
  const int written =
      std::snprintf(config.link.data(), config.link.size(), "%s/unit", config.dir.data());
  if (written < 0 || static_cast<std::size_t>(written) >= config.link.size()) {
    rmdir(config.dir.data());
    return 2;
  }

  std::array<CaseResult, 4> results{};
  results[0].name = "full run, -a 0 -l 0";
  results[0].floor = pacing_floor_seconds(0, 0);
  results[1].name = "full run, -a 0 -l 50";
  results[1].floor = pacing_floor_seconds(0, 50);
  results[2].name = "retries, silent unit";
  results[3].name = "idle dialogue prompt";

  for (int run = 0; run < config.runs; ++run) {
    for (std::size_t c = 0; c < results.size(); ++c) {
      CaseResult& result = results[c];
      Sample& sample = result.samples[result.runs - result.failed_runs];
      bool ok = false;
      switch (c) {
        case 0:
          ok = full_run(config, "0", "0", sample);
          break;
        case 1:
          ok = full_run(config, "0", "50", sample);
          break;
        case 2:
          ok = retry_run(config, sample);
          break;
        default:
          ok = idle_run(config, sample);
          break;
      }
      ++result.runs;
      if (!ok) {
        ++result.failed_runs;
      }
    }
  }
  rmdir(config.dir.data());

  print_machine();
  std::printf("tool: %s\n", config.tool);
  std::printf("| %-28s | %-4s | %12s | %8s | %5s | %8s | %8s |\n", "case", "runs", "wall median",
              "floor", "ratio", "CPU med", "CPU max");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", "------------------------------", "------",
              "--------------", "----------", "-------", "----------", "----------");
  for (const CaseResult& result : results) {
    print_row(result);
  }
  std::printf(
      "wall: start to exit (full runs), the measured window (retries: %.0f s from the first "
      "retry, idle: %.0f s at the first prompt).\n"
      "floor: the pauses the settings ask for (each nonzero pause at least 20 ms); ratio = wall / "
      "floor.\n"
      "CPU: the tool's CPU time over the wall time (full runs: user + system from wait4; the "
      "others: %s).\n",
      config.retry_seconds, config.idle_seconds,
      g_fine_cpu ? "time on CPU from /proc/<pid>/schedstat, in ns"
                 : "user + system from /proc/<pid>/stat, in clock ticks");
  int failed = 0;
  for (const CaseResult& result : results) {
    failed += result.failed_runs;
  }
  return failed == 0 ? 0 : 1;
}
