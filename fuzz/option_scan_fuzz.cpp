// Fuzzes the command line: the input, split at NUL bytes, is the argument vector. The option
// scan runs, and when it accepts, the option texts are resolved against fixed local times (never
// the clock). Checked: the scan agrees with a reference scan, and an accepted setup is in range.
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/reason.h"
#include "driver/setup_record.h"
#include "fuzz_check.h"
#include "setup/command_line.h"

namespace {

constexpr std::size_t kMaxArgs = 32;
constexpr std::size_t kMaxText = 2048;
constexpr std::uint64_t kMaxU32 = 0xFFFFFFFFu;

// The unsigned conversion of -a, -b and -l, read afresh: blanks, one sign, digits with the
// magnitude held at 2^32 - 1, then the sign applied modulo 2^32.
std::uint32_t reference_number(const char* text) {
  std::size_t at = 0;
  while (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r')) {
    ++at;
  }
  bool negative = false;
  if (text[at] == '+' || text[at] == '-') {
    negative = text[at] == '-';
    ++at;
  }
  std::uint64_t magnitude = 0;
  for (; text[at] >= '0' && text[at] <= '9'; ++at) {
    magnitude = magnitude * 10U + static_cast<std::uint64_t>(text[at] - '0');
    if (magnitude > kMaxU32) {
      magnitude = kMaxU32;
    }
  }
  const auto value = static_cast<std::uint32_t>(magnitude);
  return negative ? static_cast<std::uint32_t>(0U - value) : value;
}

// The reference scan. Returns true on failure; fills `expected` like parse_options would.
bool reference_scan(int argc, char** argv, SetupRecord& expected) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strlen(arg) < 2 || (arg[0] != '-' && arg[0] != '/')) {
      return true;
    }
    char letter = arg[1];
    if (letter >= 'A' && letter <= 'Z') {
      letter = static_cast<char>(letter - 'A' + 'a');
    }
    if (letter == 's') {
      continue;
    }
    if (std::strchr("12abcdlt", letter) == nullptr || letter == '\0' || i + 1 == argc) {
      return true;
    }
    const char* value = argv[++i];
    switch (letter) {
      case '1':
        expected.output1_text = value;
        break;
      case '2':
        expected.output2_text = value;
        break;
      case 'a':
        expected.char_time_ms = reference_number(value);
        break;
      case 'b':
        expected.baud_rate = reference_number(value);
        break;
      case 'c':
        expected.port_name = value;
        break;
      case 'd':
        expected.date_text = value;
        break;
      case 'l':
        expected.line_time_ms = reference_number(value);
        break;
      default:
        expected.time_text = value;
        break;
    }
  }
  return false;
}

std::tm local_time(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

// A refusal's reason goes to a terminal: one line, never empty, printable ASCII only.
bool reason_is_one_clean_line() {
  const char* reason = setup_reason();
  if (*reason == '\0') {
    return false;
  }
  for (; *reason != '\0'; ++reason) {
    if (*reason < 0x20 || *reason > 0x7e) {
      return false;
    }
  }
  return true;
}

bool output_in_range(const OutputParams& p) {
  return p.minimum <= 255 && p.maximum <= 255 && p.pulse_len <= 255 && p.wait_time <= 255;
}

bool is_default_output(const OutputParams& p) {
  return p.minimum == 0 && p.maximum == 100 && p.pulse_len == 0 && p.wait_time == 0;
}

// Resolves `scanned` against `now` and checks what an accepted setup must hold.
void check_resolve(const SetupRecord& scanned, const std::tm& now) {
  g_setup = scanned;
  clear_reason();
  const bool failed = resolve_setup_at(now);
  const long year = static_cast<long>(now.tm_year) + 1900L;
  if (scanned.date_text == nullptr && (year < 2000 || year > 2255)) {
    FUZZ_CHECK(failed);  // a PC clock outside the unit's years needs -d
  }
  if (failed) {
    FUZZ_CHECK(reason_is_one_clean_line());
    return;
  }
  const SetupRecord& s = g_setup;
  FUZZ_CHECK(s.hour <= 23 && s.minute <= 59 && s.second <= 59);
  FUZZ_CHECK(s.day <= 31 && s.month <= 12 && s.year <= 255);
  FUZZ_CHECK(output_in_range(s.output1) && output_in_range(s.output2));
  if (scanned.time_text == nullptr) {
    FUZZ_CHECK(s.hour == static_cast<std::uint32_t>(now.tm_hour) &&
               s.minute == static_cast<std::uint32_t>(now.tm_min) &&
               s.second == static_cast<std::uint32_t>(now.tm_sec));
  }
  if (scanned.date_text == nullptr) {
    FUZZ_CHECK(s.day == static_cast<std::uint32_t>(now.tm_mday) &&
               s.month == static_cast<std::uint32_t>(now.tm_mon + 1) &&
               s.year == static_cast<std::uint32_t>(year - 2000));
  }
  FUZZ_CHECK(scanned.output1_text != nullptr || is_default_output(s.output1));
  FUZZ_CHECK(scanned.output2_text != nullptr || is_default_output(s.output2));
  // What the scan stored and resolving does not touch stays as it was.
  FUZZ_CHECK(s.port_name == scanned.port_name && s.baud_rate == scanned.baud_rate &&
             s.char_time_ms == scanned.char_time_ms && s.line_time_ms == scanned.line_time_ms);
  FUZZ_CHECK(s.time_text == nullptr && s.date_text == nullptr && s.output1_text == nullptr &&
             s.output2_text == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The scan prints the usage on every refusal; keep the fuzzer's own output readable.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    std::fputs("cannot send stdout to /dev/null\n", stderr);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The arguments live in one NUL-separated buffer, as the system hands them to a program.
  std::array<char, kMaxText + 1> text{};
  const std::size_t length = size < kMaxText ? size : kMaxText;
  if (length > 0) {
    std::memcpy(text.data(), data, length);
  }
  std::array<char, 16> program{"quorvel-setup"};
  std::array<char*, kMaxArgs + 2> argv{};
  int argc = 0;
  argv[argc++] = program.data();
  if (length > 0) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= length && static_cast<std::size_t>(argc) <= kMaxArgs; ++i) {
      if (text[i] == '\0') {
        argv[argc++] = &text[start];
        start = i + 1;
      }
    }
  }
  argv[argc] = nullptr;

  g_setup = SetupRecord{};
  clear_reason();
  const bool failed = parse_options(argc, argv.data());
  SetupRecord expected{};
  const bool ref_failed = reference_scan(argc, argv.data(), expected);
  FUZZ_CHECK(failed == ref_failed);
  if (failed) {
    FUZZ_CHECK(reason_is_one_clean_line());
    return 0;
  }
  const SetupRecord scanned = g_setup;
  FUZZ_CHECK(scanned.port_name == expected.port_name && scanned.baud_rate == expected.baud_rate &&
             scanned.char_time_ms == expected.char_time_ms &&
             scanned.line_time_ms == expected.line_time_ms &&
             scanned.time_text == expected.time_text && scanned.date_text == expected.date_text &&
             scanned.output1_text == expected.output1_text &&
             scanned.output2_text == expected.output2_text);

  // An ordinary day, the first and last years the unit holds, and clocks outside them.
  const std::array<std::tm, 5> clocks{
      local_time(2009, 12, 7, 12, 30, 0), local_time(2000, 1, 1, 0, 0, 0),
      local_time(2255, 12, 31, 23, 59, 59), local_time(1999, 12, 31, 23, 59, 59),
      local_time(2256, 1, 1, 0, 0, 0)};
  for (const std::tm& now : clocks) {
    check_resolve(scanned, now);
  }
  return 0;
}
