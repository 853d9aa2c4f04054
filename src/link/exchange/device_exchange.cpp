#include "link/exchange/device_exchange.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/local_time.h"
#include "driver/setup_record.h"
#include "link/clock/clock.h"
#include "link/diagnosis/port_reason.h"
#include "setup/key_input.h"

namespace {

// The lone CR before each attempt ends whatever half line the unit may hold.
constexpr std::uint32_t kLeadPauseMs = 10;
constexpr std::uint32_t kEchoBudgetMs = 1000;
// After the last step, how long the line must stay quiet (beyond two bytes' time on the wire)
// before the run ends, and the most that wait may add when the unit never goes quiet.
constexpr std::uint32_t kQuietMs = 20;
constexpr std::uint32_t kSettleMaxMs = 250;

// One command of the sequence: the unit's command number and the value it carries, from a
// field of the record or fixed.
struct Step {
  const char* label;
  std::uint32_t number;
  const std::uint32_t* field;  // nullptr: the value is `fixed`
  std::uint32_t fixed;
};

bool g_port_missing = false;

// Tells the technician that the port has gone (once) and that it is back, when the run starts
// again from the unlock: the unit may have been powered again, or be another one, and a unit
// that comes back locked ignores every setting until it is unlocked. Standard output keeps its
// text: these go to standard error.
void note_port(PortFit fit) {
  const char* news = nullptr;
  if (fit == PortFit::kMissing && !g_port_missing) {
    news = "the port has gone; plug it back in, or press ESC";
  } else if (fit == PortFit::kReopened) {
    news = "the port is back; starting again from the unlock";
  }
  g_port_missing = fit == PortFit::kMissing;
  if (news == nullptr) {
    return;
  }
  std::array<char, kShownNameBytes> name{};
  printable_name(g_setup.port_name, name.data(), name.size());
  std::fprintf(stderr, "quorvel-setup: %s: %s\n", name.data(), news);
}

// Whether a received byte can be part of an echoed command line; any other is noise.
bool echo_byte_counts(std::uint8_t byte) {
  return (byte >= '0' && byte <= '9') || byte == ':' || byte == '\r';
}

// How many characters of expected the run of counting bytes ends with once byte follows the
// first `matched` of them: after "11" of "11:1\r", a third '1' still leaves "11". The run
// seen so far is known from expected itself, so no received byte needs keeping.
std::size_t echo_match_after(const char* expected, std::size_t matched, std::uint8_t byte) {
  // Longest first: the prefix of that length must end the run.
  for (std::size_t length = matched + 1; length > 0; --length) {
    if (static_cast<std::uint8_t>(expected[length - 1]) == byte &&
        std::memcmp(expected, expected + (matched + 1 - length), length - 1) == 0) {
      return length;
    }
  }
  return 0;
}

// The unit echoes the CR that follows every line after the line itself has been matched.
// Taken in here, it cannot arrive after the port has its own settings back: a line given back
// cooked with echo would answer that CR to the unit as a line of its own, and the unit would
// answer that, until the port is closed.
void let_line_settle(PortHandle port, std::uint32_t baud_rate) {
  const std::uint32_t wire_ms = baud_rate == 0 ? 0 : (20U * 1000U + baud_rate - 1U) / baud_rate;
  const std::uint32_t quiet_ms = kQuietMs + wire_ms;
  const std::uint32_t most_ms = quiet_ms + kSettleMaxMs;
  const std::uint32_t start = tick_ms();
  std::uint32_t last = start;
  for (std::uint32_t now = start; now - start < most_ms; now = tick_ms()) {
    std::uint8_t byte = 0;
    if (!read_byte(port, byte)) {
      last = now;
    } else if (now - last >= quiet_ms) {
      break;
    } else {
      const std::uint32_t quiet_left = quiet_ms - (now - last);
      const std::uint32_t most_left = most_ms - (now - start);
      wait_for_byte(port, quiet_left < most_left ? quiet_left : most_left);
    }
  }
}

}  // namespace

void send_line(PortHandle port, std::uint32_t char_pause, std::uint32_t line_pause,
               const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    write_byte(port, char_pause, static_cast<std::uint8_t>(*p));
  }
  write_byte(port, char_pause, '\r');
  pause_ms(line_pause);
}

bool await_echo(PortHandle port, const char* expected, std::uint32_t budget_ms) {
  const std::uint32_t start = tick_ms();
  std::size_t matched = 0;
  while (expected[matched] != '\0') {
    // Tested before every read: a sender that never pauses must not keep the wait alive.
    const std::uint32_t elapsed = tick_ms() - start;
    if (elapsed > budget_ms) {
      break;
    }
    std::uint8_t byte = 0;
    if (read_byte(port, byte)) {
      wait_for_byte(port, budget_ms - elapsed + 1);
    } else if (echo_byte_counts(byte)) {
      matched = echo_match_after(expected, matched, byte);
    }
  }
  return expected[matched] != '\0';
}

std::uint32_t echo_budget_ms(const char* line, std::uint32_t baud_rate) {
  if (baud_rate == 0) {
    return kEchoBudgetMs;
  }
  const std::uint64_t bits = (std::strlen(line) + 2U) * 10U;
  // Rounded up: at 75 bit/s an attempt alone takes longer than the second.
  const std::uint64_t wire_ms = (bits * 1000U + baud_rate - 1U) / baud_rate;
  return kEchoBudgetMs + static_cast<std::uint32_t>(wire_ms);
}

StepEnd exchange_step(PortHandle& port, const char* label, const char* line) {
  for (;;) {
    const PortFit fit = ready_port_for_attempt(port);
    note_port(fit);
    if (fit == PortFit::kReopened) {
      return StepEnd::kReplugged;
    }
    std::fputs(label, stdout);
    std::fflush(stdout);
    write_byte(port, kLeadPauseMs, '\r');
    send_line(port, g_setup.char_time_ms, g_setup.line_time_ms, line);
    if (key_waiting() && read_key() == kKeyEsc) {
      std::fputs("User abort\n", stdout);
      return StepEnd::kAborted;
    }
    if (!await_echo(port, line, echo_budget_ms(line, g_setup.baud_rate))) {
      std::fputs("Done\n", stdout);
      return StepEnd::kDone;
    }
    std::fputs("Failed (press ESC to exit)\n", stdout);
  }
}

bool program_device(PortHandle& port) {
  SetupRecord& s = g_setup;
  const std::array<Step, 16> steps{{
      {" - Try unlock                   : ", 958, nullptr, 1},
      {" - Stop time               { 6} : ", 6, nullptr, 0},
      {" - Set output 1, minimum   { 7} : ", 7, &s.output1.minimum, 0},
      {" - Set output 1, maximum   { 8} : ", 8, &s.output1.maximum, 0},
      {" - Set output 1, puls len  { 9} : ", 9, &s.output1.pulse_len, 0},
      {" - Set output 2, minimum   {10} : ", 10, &s.output2.minimum, 0},
      {" - Set output 2, maximum   {11} : ", 11, &s.output2.maximum, 0},
      {" - Set output 2, puls len  {12} : ", 12, &s.output2.pulse_len, 0},
      {" - Set output 2, waittime  {13} : ", 13, &s.output2.wait_time, 0},
      {" - Set seconds             { 1} : ", 1, &s.second, 0},
      {" - Set minutes             { 2} : ", 2, &s.minute, 0},
      {" - Set hours               { 3} : ", 3, &s.hour, 0},
      {" - Set year                { 4} : ", 4, &s.year, 0},
      {" - Set month               { 5} : ", 5, &s.month, 0},
      {" - Set day                 { 6} : ", 6, &s.day, 0},
      {" - Try lock                     : ", 958, nullptr, 0},
  }};
  constexpr std::size_t kFirstClockStep = 9;  // seconds; the clock stands still from step 2
  std::fputs("Sending data\n", stdout);
  StepEnd end = StepEnd::kDone;
  std::size_t i = 0;
  while (i < steps.size()) {
    if (i == kFirstClockStep) {
      // A unit that kept the run waiting must not be loaded with a time minutes old.
      take_pc_clock(local_now(), s);
    }
    // Room for the longest line a 32-bit value can make: "958:" + ten digits + CR.
    std::array<char, 16> line{};
    const Step& step = steps[i];
    const std::uint32_t value = step.field != nullptr ? *step.field : step.fixed;
    std::snprintf(line.data(), line.size(), "%u:%u\r", static_cast<unsigned>(step.number),
                  static_cast<unsigned>(value));
    end = exchange_step(port, step.label, line.data());
    if (end == StepEnd::kAborted) {
      break;  // the unit stays unlocked; the operator asked to stop
    }
    // After a replug every step again, each of them harmless to repeat.
    i = end == StepEnd::kReplugged ? 0 : i + 1;
  }
  let_line_settle(port, s.baud_rate);
  const bool failed = end == StepEnd::kAborted;
  std::fputs(failed ? "!! Failed !!\n" : "All done without errors\n", stdout);
  return failed;
}
