// The one record of settings: what the unit is loaded with and how it is reached.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>

// One output channel of the unit; every field is 0 to 255 once accepted.
struct OutputParams {
  std::uint32_t minimum = 0;
  std::uint32_t maximum = 0;
  std::uint32_t pulse_len = 0;  // units of 10 ms
  std::uint32_t wait_time = 0;  // units of 10 ms; sent for output 2 only
};

struct SetupRecord {
  // Name handed to the operating system; points at a literal, an argument or port_name_buffer.
  const char* port_name = "COM1";
  std::array<char, 50> port_name_buffer{};  // typed in the dialogue: 49 characters and a NUL
  std::uint32_t baud_rate = 9600;
  std::uint32_t char_time_ms = 0;
  std::uint32_t line_time_ms = 50;
  std::uint32_t hour = 0;
  std::uint32_t minute = 0;
  std::uint32_t second = 0;
  std::uint32_t day = 0;
  std::uint32_t month = 0;  // 1-based as entered
  std::uint32_t year = 0;   // years since 2000
  OutputParams output1;
  OutputParams output2;
  // The clock fields the PC clock gave (no -t, no -d), read again when the unit is sent them.
  bool time_from_pc = false;
  bool date_from_pc = false;
  // Option texts, held only until resolve_setup has turned them into fields.
  const char* time_text = nullptr;
  const char* date_text = nullptr;
  const char* output1_text = nullptr;
  const char* output2_text = nullptr;
};

// The process-wide record: setup input writes it, the run sequence and the exchange read it.
extern SetupRecord g_setup;

// Sets the fields that come from the PC clock from `now`: hour, minute and second when
// setup.time_from_pc, day, month and year when setup.date_from_pc and the year fits.
void take_pc_clock(const std::tm& now, SetupRecord& setup);
