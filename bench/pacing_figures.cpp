#include "pacing_figures.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "harness.h"

namespace {

constexpr int kRunDeadlineMs = 60000;
constexpr double kLeadPausesMs = 15 * 20.0;  // between the first line and the last

struct ProbeFigures {
  double median = -1;
  double max = -1;
};

ProbeFigures run_probe(const PacingTarget& target) {
  ProbeFigures figures;
  const std::string tool = e2e::programs().tool;
  e2e::programs().tool = target.probe;
  e2e::Tool probe;
  e2e::Options options;
  options.keys = "pipe";
  if (!e2e::start_tool(probe, {}, options) && e2e::wait_exit(probe) == 0) {
    const std::size_t at = probe.out.find("pause_ms(20): ");
    if (at == std::string::npos ||
        std::sscanf(probe.out.c_str() + at, "pause_ms(20): median %lf ms, max %lf ms",
                    &figures.median, &figures.max) != 2) {
      figures = ProbeFigures{};
    }
  }
  e2e::programs().tool = tool;
  return figures;
}

// One full run; the times the unit logged its first and its last line, in ms apart.
double wire_span_ms(const PacingTarget& target) {
  e2e::Unit unit;
  std::string link;
  if (!target.com.empty()) {
    const char* prefix = std::getenv("WINEPREFIX");
    link = std::string(prefix != nullptr ? prefix : "") + "/dosdevices/";
    for (const char c : target.com) {
      link += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
  }
  if (e2e::start_unit(unit, {}, link)) {
    return -1;
  }
  if (!target.com.empty()) {
    unit.port = target.com;
  }
  e2e::Tool tool;
  e2e::Options options;
  options.keys = "pipe";
  if (e2e::start_tool(
          tool, {"-c", unit.port, "-a", "0", "-l", "0", "-t", "12:30:00", "-d", "7\\12\\2009"},
          options)) {
    return -1;
  }
  // Each line the unit executes is one line of its log, written as its CR arrives.
  const int status = e2e::wait_exit(tool, kRunDeadlineMs, &unit);
  e2e::wait_log(unit, "line \"958:0\"");
  const std::vector<e2e::Clock::time_point> seen = unit.line_times;
  e2e::stop_unit(unit);
  if (status != 0 || seen.size() < 16 ||
      tool.out.find("All done without errors") == std::string::npos) {
    std::fprintf(stderr, "quorvel-bench: %s run ended with %d:\n%s%s\n", target.name, status,
                 tool.out.c_str(), tool.err.c_str());
    return -1;
  }
  return std::chrono::duration<double, std::milli>(seen[15] - seen[0]).count();
}

}  // namespace

void print_pacing_header() {
  std::printf("| %-22s | %-4s | %14s | %11s | %14s | %13s |\n", "program", "runs", "pause_ms(20)",
              "pause max", "wire span", "span / 300 ms");
  std::printf(
      "|------------------------|------|----------------|-------------|----------------|"
      "---------------|\n");
}

bool print_pacing_row(const PacingTarget& target, int runs) {
  const std::string tool = e2e::programs().tool;
  e2e::programs().tool = target.tool;
  e2e::programs().wrapper = target.wrapper;
  const ProbeFigures probe = run_probe(target);
  std::vector<double> spans;
  int failed = 0;
  for (int i = 0; i < runs; ++i) {
    const double span = wire_span_ms(target);
    if (span < 0) {
      ++failed;
    } else {
      spans.push_back(span);
    }
  }
  e2e::programs().wrapper = "";
  e2e::programs().tool = tool;
  std::array<char, 32> span_text{"-"};
  std::array<char, 32> ratio_text{"-"};
  if (!spans.empty()) {
    std::sort(spans.begin(), spans.end());
    const std::size_t n = spans.size();
    const double median = n % 2 == 1 ? spans[n / 2] : (spans[n / 2 - 1] + spans[n / 2]) / 2;
    std::snprintf(span_text.data(), span_text.size(), "%.0f ms", median);
    std::snprintf(ratio_text.data(), ratio_text.size(), "%.2f", median / kLeadPausesMs);
  }
  std::array<char, 32> pause_text{"-"};
  std::array<char, 32> max_text{"-"};
  if (probe.median >= 0) {
    std::snprintf(pause_text.data(), pause_text.size(), "%.2f ms", probe.median);
    std::snprintf(max_text.data(), max_text.size(), "%.2f ms", probe.max);
  }
  std::array<char, 32> runs_text{};
  if (failed > 0) {
    std::snprintf(runs_text.data(), runs_text.size(), "%d (+%d failed)",
                  static_cast<int>(spans.size()), failed);
  } else {
    std::snprintf(runs_text.data(), runs_text.size(), "%d", static_cast<int>(spans.size()));
  }
  std::printf("| %-22s | %-4s | %14s | %11s | %14s | %13s |\n", target.name, runs_text.data(),
              pause_text.data(), max_text.data(), span_text.data(), ratio_text.data());
  return failed == 0 && probe.median >= 0;
}

void print_pacing_notes() {
  std::printf(
      "pause_ms(20): median and longest of 50 pauses (quorvel-pause-probe; each lasts more than "
      "20 ms by rule).\n"
      "wire span: median time from the first to the last of the sixteen lines the unit receives "
      "with -a 0 -l 0;\nbetween them lie 15 lead pauses of 20 ms, so 1.00 would be pauses as "
      "short as asked and echoes in no time.\n");
}
