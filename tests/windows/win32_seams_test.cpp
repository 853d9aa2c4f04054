// The Windows seams on Windows (or Wine): the pause's rules on the real clock, the reasons a
// port will not open, and the keyboard when its bytes come from a pipe.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "link/clock/clock.h"
#include "link/port/serial_link.h"
#include "setup/key_input.h"

namespace {

using Steady = std::chrono::steady_clock;

double ms_since(Steady::time_point start) {
  return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

// Only lower bounds: how close a pause comes to what was asked is the benchmark's to measure.
TEST(WindowsClock, PauseKeepsItsRules) {
  begin_fine_timing();
  const struct {
    std::uint32_t asked;
    double more_than;
  } cases[] = {{1, 20}, {10, 20}, {20, 20}, {50, 50}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    const std::uint32_t tick_before = tick_ms();
    const Steady::time_point start = Steady::now();
    pause_ms(c.asked);
    EXPECT_GT(ms_since(start), c.more_than - 1.0);  // the other clock may round the other way
    EXPECT_GT(tick_ms() - tick_before, c.more_than);
  }
  const Steady::time_point start = Steady::now();
  pause_ms(0);
  EXPECT_LT(ms_since(start), 5.0);
  end_fine_timing();
}

TEST(WindowsClock, TickFollowsTheSystemsSleep) {
  const std::uint32_t before = tick_ms();
  Sleep(100);
  const std::uint32_t passed = tick_ms() - before;
  EXPECT_GE(passed, 95U);
  EXPECT_LT(passed, 2000U);
}

TEST(WindowsPort, OpenFailuresSayWhy) {
  const struct {
    const char* name;
    const char* reason_starts;
  } cases[] = {
      {"COM250", "COM250: no such port ("},
      {"COM250:", "COM250:: no such port ("},
      {"\\\\.\\COM251", "\\\\.\\COM251: no such port ("},
      {"NUL", "NUL: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(open_port(c.name, 9600), kInvalidPort);
    const std::string reason = open_failure_reason();
    EXPECT_EQ(reason.rfind(c.reason_starts, 0), 0U) << reason;
    EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
    EXPECT_EQ(reason.find('\r'), std::string::npos) << reason;
  }
  PortHandle none = kInvalidPort;
  EXPECT_EQ(prepare_attempt(none), PortFit::kMissing);
  close_port(none);  // ignored
}

// The keyboard takes standard input as it finds it at its first use, so this is the one test
// that reads keys: from a Windows pipe, written whole and closed.
TEST(WindowsKeys, PipedBytesDecodedAsOnATerminal) {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  const std::string bytes = "a\rb\nc\r\n\x1b[A\x7f\x1b";
  DWORD written = 0;
  ASSERT_TRUE(
      WriteFile(write_end, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  CloseHandle(write_end);
  ASSERT_TRUE(SetStdHandle(STD_INPUT_HANDLE, read_end));
  key_input_start();
  const std::vector<int> expected = {'a',       kKeyEnter,      'b',           kKeyEnter, 'c',
                                     kKeyEnter, 224 + 72 * 256, kKeyBackspace, kKeyEsc};
  std::vector<int> keys;
  while (wait_for_key()) {
    ASSERT_TRUE(key_waiting());
    keys.push_back(read_key());
    ASSERT_LT(keys.size(), 20U);
  }
  EXPECT_EQ(keys, expected);
  EXPECT_FALSE(key_waiting());
  key_input_stop();
}

}  // namespace
