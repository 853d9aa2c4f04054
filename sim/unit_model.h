// The Quorvel unit itself, without any line: its registers, the command lines it understands
// and what it says about each. The rest of the simulator feeds it bytes and prints its words.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::uint8_t kCarriageReturn = 13;
constexpr std::size_t kMaxLineBytes = 32;  // a longer line is refused as "too long"

// The unit's registers as last loaded; the simulation does not advance the clock.
struct UnitState {
  std::uint32_t second = 0;
  std::uint32_t minute = 0;
  std::uint32_t hour = 0;
  std::uint32_t year = 0;  // years since 2000
  std::uint32_t month = 1;
  std::uint32_t day = 1;
  bool running = true;
  bool locked = true;
  std::array<std::uint32_t, 3> out1{};  // minimum, maximum, pulse
  std::array<std::uint32_t, 4> out2{};  // minimum, maximum, pulse, wait
};

// The line being received: its first kMaxLineBytes bytes and what has been decided about it.
struct LineBuffer {
  std::array<std::uint8_t, kMaxLineBytes> text{};
  std::size_t length = 0;
  bool started = false;   // a byte other than CR has arrived since the last CR
  bool overlong = false;  // more than kMaxLineBytes bytes before the CR
  bool dropped = false;   // this line is one that --drop swallows
  bool late = false;      // this line is the one --late-line delays
};

enum class Verdict { kApplied, kRefused, kIgnoredLocked, kDropped };

struct LineResult {
  Verdict verdict;
  const char* reason;  // for kRefused only
};

// Adds a byte other than CR to the line; bytes past kMaxLineBytes only mark it overlong.
void add_to_line(LineBuffer& line, std::uint8_t byte);

// Gives the accepted value range of a command number. Returns true (failure) for an unknown one.
bool command_range(std::uint32_t number, std::uint32_t& low, std::uint32_t& high);

// Executes one complete, non-empty line on the unit. A malformed line is refused even while
// the settings are locked; only well-formed commands other than 958 meet the lock.
LineResult execute_line(UnitState& unit, const LineBuffer& line);

// The state text: "clock HH:MM:SS date D\M\YYYY running|stopped locked|unlocked out1 ...".
void format_state(const UnitState& unit, char* out, std::size_t size);

// The log line for one executed line: "line \"TEXT\" RESULT: STATE", with the line's bytes
// that are not plain printable shown as \xNN.
void format_line_report(const LineBuffer& line, const LineResult& result, const UnitState& unit,
                        char* out, std::size_t size);

// The last log line: "final: STATE".
void format_final_report(const UnitState& unit, char* out, std::size_t size);
