// quorvel-bench: measures the real quorvel-setup against the simulated unit and prints a table.
// It measures and reports; it judges nothing.
//
//   full run, -a 0 -l 0      sixteen lines, wall time against the pacing floor, CPU share
//   full run, -a 0 -l 50     the same with the default line pause
//   retries, silent unit     CPU share while the tool resends to a unit that never echoes
//   idle dialogue prompt     CPU share while the tool waits at its first prompt
// and then the pacing figures (pacing_figures.h): pause_ms(20) and the wire span of a full run,
// for this program and, with --windows, the Windows build under Wine beside it.
//
// Usage: quorvel-bench [--runs N] [--retry-seconds S] [--idle-seconds S] [--windows DIR]
//                      [TOOL [SIM]]
// TOOL and SIM default to the quorvel-setup and quorvel-sim built beside this program. DIR is a
// Windows build (quorvel-setup.exe, quorvel-pause-probe.exe), run with wine in WINEPREFIX, whose
// dosdevices get a COM5 for the unit.
// The tool's keyboard and screen are a pseudo-terminal, as in the field.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "harness.h"
#include "pacing_figures.h"

namespace {

using e2e::Tool;
using e2e::Unit;

constexpr int kMaxRuns = 50;
constexpr char kFirstPrompt[] = " Port name               [ COM1]: ";
constexpr int kRunDeadlineMs = 60000;  // for one run to finish; far beyond any normal run
constexpr int kStartDeadlineMs = 10000;

// What the settings make the tool pause, in ms, for one attempt at each line.
constexpr std::uint32_t kLeadPauseMs = 10;
constexpr std::uint32_t kMinimumPauseMs = 20;  // every nonzero pause lasts at least this long

const std::vector<std::string> kClock = {"-t", "12:30:00", "-d", "7\\12\\2009"};
// The sixteen lines of a run with kClock and the default outputs ("958:1\r" to "958:0\r"):
// their bytes, each with its CR.
constexpr std::uint64_t kLines = 16;
constexpr std::uint64_t kLineBytes = 79;

std::uint32_t paused(std::uint32_t ms) {
  return ms == 0 ? 0 : std::max(ms, kMinimumPauseMs);
}

// The sum of the pauses one clean run asks for: per line the lead pause after the lone CR, the
// character pause after every byte (the line, its CR and one more CR), and the line pause.
double pacing_floor_seconds(std::uint32_t char_ms, std::uint32_t line_ms) {
  const std::uint64_t total_ms =
      kLines * (paused(kLeadPauseMs) + paused(line_ms)) + (kLineBytes + kLines) * paused(char_ms);
  return static_cast<double>(total_ms) / 1000.0;
}

double seconds(e2e::Clock::duration span) {
  return std::chrono::duration<double>(span).count();
}

double cpu_of(const rusage& usage) {
  const auto part = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
  };
  return part(usage.ru_utime) + part(usage.ru_stime);
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
  std::string windows_dir;  // empty: no Windows figures
};

e2e::Options on_screen() {
  e2e::Options options;
  options.keys = "screen";
  return options;
}

bool report(const char* which, int status, const Tool& tool, bool ok) {
  if (!ok) {
    std::fprintf(stderr, "quorvel-bench: %s run ended with %d:\n%s\n", which, status,
                 tool.out.c_str());
  }
  return ok;
}

// Case 1 and 2: one clean sixteen-line run; wall time from start to exit, CPU from wait4.
bool full_run(const char* char_ms, const char* line_ms, Sample& sample) {
  Unit unit;
  if (e2e::start_unit(unit)) {
    return false;
  }
  std::vector<std::string> args = {"-c", unit.port, "-a", char_ms, "-l", line_ms};
  args.insert(args.end(), kClock.begin(), kClock.end());
  Tool tool;
  if (e2e::start_tool(tool, args, on_screen())) {
    return false;
  }
  const int status = e2e::wait_exit(tool, kRunDeadlineMs);
  e2e::stop_unit(unit);
  sample.wall = seconds(tool.ended - tool.started);
  sample.cpu = cpu_of(tool.usage);
  return report("full", status, tool,
                status == 0 && tool.out.find("All done without errors") != std::string::npos);
}

// CPU seconds the process has used so far: the scheduler's nanosecond count where the kernel
// keeps one (then `fine` is set true); -1 when unreadable.
double cpu_seconds(pid_t pid, bool& fine) {
  unsigned long long on_cpu_ns = 0;
  fine =
      static_cast<bool>(std::ifstream("/proc/" + std::to_string(pid) + "/schedstat") >> on_cpu_ns);
  return fine ? static_cast<double>(on_cpu_ns) * 1e-9 : -1;
}

// Lets the tool run for `window` seconds while its output is read, and takes the CPU it used
// over that window. False when its CPU time could not be read.
bool measure_window(Tool& tool, double window, Sample& sample) {
  bool fine_before = false;
  bool fine_after = false;
  const double cpu_before = cpu_seconds(tool.pid, fine_before);
  const auto t0 = e2e::Clock::now();
  e2e::until(&tool, nullptr, static_cast<int>(window * 1000.0), [] { return false; });
  const double cpu_after = cpu_seconds(tool.pid, fine_after);
  g_fine_cpu = g_fine_cpu && fine_before && fine_after;
  sample.wall = seconds(e2e::Clock::now() - t0);
  sample.cpu = cpu_after - cpu_before;
  return cpu_before >= 0 && cpu_after >= 0;
}

// Case 3: resending to a unit that never echoes, at the default pacing, as a technician would
// run it; CPU over the retry window, then ESC.
bool retry_run(const Config& config, Sample& sample) {
  Unit unit;
  if (e2e::start_unit(unit, {"--silent"})) {
    return false;
  }
  std::vector<std::string> args = {"-c", unit.port};
  args.insert(args.end(), kClock.begin(), kClock.end());
  Tool tool;
  if (e2e::start_tool(tool, args, on_screen())) {
    return false;
  }
  bool ok = e2e::wait_output(tool, "Failed (press ESC to exit)", 0, kStartDeadlineMs);
  ok = ok && measure_window(tool, config.retry_seconds, sample);
  e2e::type(tool, "\x1b");
  const int status = e2e::wait_exit(tool, kRunDeadlineMs);
  e2e::stop_unit(unit);
  return report("retry", status, tool,
                ok && status == 2 && tool.out.find("User abort") != std::string::npos);
}

// Case 4: the dialogue's first prompt, untouched; CPU over the wait, then ESC.
bool idle_run(const Config& config, Sample& sample) {
  Tool tool;
  if (e2e::start_tool(tool, {}, on_screen())) {
    return false;
  }
  bool ok = e2e::wait_output(tool, kFirstPrompt, 0, kStartDeadlineMs);
  ok = ok && measure_window(tool, config.idle_seconds, sample);
  e2e::type(tool, "\x1b");
  const int status = e2e::wait_exit(tool, kRunDeadlineMs);
  return report("idle", status, tool, ok && status == 1);  // ESC in the dialogue: status 1
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

// Fills config and, from TOOL and SIM, the programs to run. Returns true on a bad argument.
bool parse_arguments(int argc, char** argv, Config& config) {
  std::vector<std::string> programs;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--runs") == 0 && has_value) {
      config.runs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--retry-seconds") == 0 && has_value) {
      config.retry_seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--idle-seconds") == 0 && has_value) {
      config.idle_seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--windows") == 0 && has_value) {
      config.windows_dir = argv[++i];
    } else if (argv[i][0] != '-' && programs.size() < 2) {
      programs.emplace_back(argv[i]);
    } else {
      return true;
    }
  }
  if (!programs.empty()) {
    e2e::programs() = {programs[0], programs.size() > 1 ? programs[1] : e2e::programs().sim, {}};
  }
  return config.runs < 1 || config.runs > kMaxRuns || config.retry_seconds <= 0 ||
         config.idle_seconds <= 0;
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
                 "usage: %s [--runs N] [--retry-seconds S] [--idle-seconds S] [--windows DIR] "
                 "[TOOL [SIM]]\n",
                 argv[0]);
    return 2;
  }
  for (const std::string& program : {e2e::programs().tool, e2e::programs().sim}) {
    if (access(program.c_str(), X_OK) != 0) {
      std::fprintf(stderr, "quorvel-bench: cannot run %s\n", program.c_str());
      return 2;
    }
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
          ok = full_run("0", "0", sample);
          break;
        case 1:
          ok = full_run("0", "50", sample);
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

  print_machine();
  std::printf("tool: %s\n", e2e::programs().tool.c_str());
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

  std::printf("\n");
  print_pacing_header();
  const std::string here = std::string(argv[0]).substr(0, std::string(argv[0]).rfind('/') + 1);
  std::vector<PacingTarget> targets = {
      {"Linux", e2e::programs().tool, here + "quorvel-pause-probe", "", ""}};
  if (!config.windows_dir.empty()) {
    targets.push_back({"Windows, under Wine", config.windows_dir + "/quorvel-setup.exe",
                       config.windows_dir + "/quorvel-pause-probe.exe", "/usr/bin/wine", "COM5"});
  }
  for (const PacingTarget& target : targets) {
    if (!print_pacing_row(target, config.runs)) {
      ++failed;
    }
  }
  print_pacing_notes();
  return failed == 0 ? 0 : 1;
}
