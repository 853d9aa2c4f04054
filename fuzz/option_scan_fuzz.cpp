// Fuzzes the command line: the input, split at NUL bytes, is the argument vector. The scan
// runs, and an accepted one is resolved against fixed local times (never the clock). Checked:
// a refusal leaves one reason line, an accepted setup is in range.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/reason.h"
#include "driver/setup_record.h"
#include "fuzz_check.h"
#include "setup/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The scan prints the usage on every refusal; keep the fuzzer's own output readable.
  [[maybe_unused]] static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
  std::string text(reinterpret_cast<const char*>(data), size);
  char program[] = "quorvel-setup";
  std::vector<char*> argv{program};
  // An argument ends at a NUL or at the end of the input; 32 of them at most.
  for (std::size_t i = 0, start = 0; size > 0 && i <= size && argv.size() < 33; ++i) {
    if (text[i] == '\0') {
      argv.push_back(&text[start]);
      start = i + 1;
    }
  }
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  g_setup = SetupRecord{};
  clear_reason();
  if (parse_options(argc, argv.data())) {
    FUZZ_CHECK(setup_reason()[0] != '\0' && std::strchr(setup_reason(), '\n') == nullptr);
    return 0;
  }
  const SetupRecord scanned = g_setup;
  for (const int year : {109, 100, 355, 99, 356}) {  // 2009, the unit's first and last, outside
    std::tm now{};
    now.tm_year = year;
    now.tm_mday = 7;
    now.tm_hour = 12;
    g_setup = scanned;
    if (!resolve_setup_at(now)) {
      FUZZ_CHECK(g_setup.hour <= 23 && g_setup.minute <= 59 && g_setup.second <= 59 &&
                 g_setup.day <= 31 && g_setup.month <= 12 && g_setup.year <= 255 &&
                 g_setup.output1.maximum <= 255 && g_setup.output2.wait_time <= 255);
    }
  }
  return 0;
}
