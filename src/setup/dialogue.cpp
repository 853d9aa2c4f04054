#include "setup/dialogue.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "common/local_time.h"
#include "common/reason.h"
#include "driver/setup_record.h"
#include "setup/line_editors.h"

namespace {

constexpr std::uint32_t kNoLimit = UINT32_MAX;

struct NumberPrompt {
  const char* text;  // printed with the default for its one %u, if it has one
  std::uint32_t* field;
  std::uint32_t default_value;
  std::uint32_t limit;  // the answer fails when greater
  const char* name;     // what the question asks for, in a reason
};

// An editor ended the dialogue. ESC is the operator's own choice and needs no word; a scripted
// input that ran out is told where it stopped.
bool editor_ended(const char* name) {
  if (input_ended()) {
    set_reason("the input ended at the %s question; the dialogue takes 17 answers", name);
  }
  return true;
}

// Prints the prompt and reads one number. Returns true on ESC or an answer over the limit.
bool ask(const NumberPrompt& prompt) {
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), prompt.text, static_cast<unsigned>(prompt.default_value));
  std::fputs(text.data(), stdout);
  std::fflush(stdout);
  if (read_number_field(*prompt.field, prompt.default_value)) {
    return editor_ended(prompt.name);
  }
  if (*prompt.field > prompt.limit) {
    // Every bounded question starts at 0, whatever its label shows.
    set_reason("%s %u is outside 0-%u", prompt.name, static_cast<unsigned>(*prompt.field),
               static_cast<unsigned>(prompt.limit));
    return true;
  }
  return false;
}

// Years 2000 to 2255 are given in full; 0 to 255 are taken as they stand.
bool ask_year(std::uint32_t default_year) {
  std::printf(" Year                      [ %4u]: ", static_cast<unsigned>(default_year));
  std::fflush(stdout);
  if (read_number_field(g_setup.year, default_year)) {
    return editor_ended("year");
  }
  const std::uint32_t answer = g_setup.year;
  if (g_setup.year >= 2000 && g_setup.year <= 2255) {
    g_setup.year -= 2000;
  }
  if (g_setup.year > 255) {
    set_reason("year %u is outside 2000-2255 and 0-255 (years since 2000)",
               static_cast<unsigned>(answer));
    return true;
  }
  return false;
}

}  // namespace

bool run_dialogue_at(const std::tm& now) {
  SetupRecord& s = g_setup;
  std::fputs(" Port name               [ COM1]: ", stdout);
  std::fflush(stdout);
  if (read_text_field(s.port_name_buffer.data(), s.port_name_buffer.size(), "COM1")) {
    return editor_ended("port name");
  }
  s.port_name = s.port_name_buffer.data();

  const auto hour = static_cast<std::uint32_t>(now.tm_hour);
  const auto minute = static_cast<std::uint32_t>(now.tm_min);
  const auto second = static_cast<std::uint32_t>(now.tm_sec);
  const auto day = static_cast<std::uint32_t>(now.tm_mday);
  const auto month = static_cast<std::uint32_t>(now.tm_mon + 1);
  const auto year = static_cast<std::uint32_t>(now.tm_year + 1900);

  const std::array<NumberPrompt, 8> settings_and_clock{{
      {" Baudrate                [ 9600]: ", &s.baud_rate, 9600, kNoLimit, "baud rate"},
      {" Time between chars,   ms  [    0]: ", &s.char_time_ms, 0, kNoLimit, "time between chars"},
      {" Time between fields,   ms [   50]: ", &s.line_time_ms, 50, kNoLimit,
       "time between fields"},
      {" Hour                (0-23)[   %2u]: ", &s.hour, hour, 23, "hour"},
      {" Minutes             (0-59)[   %2u]: ", &s.minute, minute, 59, "minute"},
      {" Seconds             (0-59)[   %2u]: ", &s.second, second, 59, "second"},
      {" Day                 (1-31)[   %2u]: ", &s.day, day, 31, "day"},
      {" Month               (1-12)[   %2u]: ", &s.month, month, 12, "month"},
  }};
  for (const NumberPrompt& prompt : settings_and_clock) {
    if (ask(prompt)) {
      return true;
    }
  }
  if (ask_year(year)) {
    return true;
  }
  const std::array<NumberPrompt, 7> outputs{{
      {" Output1, minimum   (0-255)[    0]: ", &s.output1.minimum, 0, 255, "output 1 minimum"},
      {"          maximum   (0-255)[  255]: ", &s.output1.maximum, 255, 255, "output 1 maximum"},
      {" puls length in 10ms(0-255)[    0]: ", &s.output1.pulse_len, 0, 255,
       "output 1 pulse length"},
      {" Output2, minimum   (0-255)[    0]: ", &s.output2.minimum, 0, 255, "output 2 minimum"},
      {"          maximum   (0-255)[  255]: ", &s.output2.maximum, 255, 255, "output 2 maximum"},
      {" puls length in 10ms(0-255)[    0]: ", &s.output2.pulse_len, 0, 255,
       "output 2 pulse length"},
      {" waittime in 10ms   (0-255)[    0]: ", &s.output2.wait_time, 0, 255, "output 2 wait time"},
  }};
  for (const NumberPrompt& prompt : outputs) {
    if (ask(prompt)) {
      return true;
    }
    if (prompt.field == &s.output1.pulse_len) {
      s.output1.wait_time = 0;  // output 1 has no wait time on the unit
    }
  }
  return false;
}

bool run_dialogue() {
  return run_dialogue_at(local_now());
}
