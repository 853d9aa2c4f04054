#include "unit_model.h"

#include <cstdio>

namespace {

// Decimal fields saturate here: far beyond every register, and no overflow on long digit runs.
constexpr std::uint32_t kDecimalCap = 1000000000u;

// Shows line bytes for the log: printable ASCII as is, everything else (and the quote and
// backslash, which would make the text ambiguous) as \xNN.
void format_line_text(const LineBuffer& line, char* out, std::size_t size) {
  std::size_t used = 0;
  out[0] = '\0';
  for (std::size_t i = 0; i < line.length && used + 5 <= size; ++i) {
    const std::uint8_t byte = line.text[i];
    const bool plain = byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\';
    const int written = plain ? std::snprintf(out + used, size - used, "%c", byte)
                              : std::snprintf(out + used, size - used, "\\x%02X", byte);
    if (written < 0) {
      break;
    }
    used += static_cast<std::size_t>(written);
  }
}

// Reads a decimal field of line from pos up to (not including) end. Digits only, no leading
// zero unless the field is "0"; large values saturate at kDecimalCap.
// Returns true (failure) when the field is not such a number.
bool parse_field(const LineBuffer& line, std::size_t pos, std::size_t end,
                 std::uint32_t& value_out) {
  if (pos >= end || (line.text[pos] == '0' && end - pos > 1)) {
    return true;
  }
  std::uint64_t value = 0;
  for (std::size_t i = pos; i < end; ++i) {
    const std::uint8_t byte = line.text[i];
    if (byte < '0' || byte > '9') {
      return true;
    }
    value = value * 10 + static_cast<std::uint64_t>(byte - '0');
    if (value > kDecimalCap) {
      value = kDecimalCap;
    }
  }
  value_out = static_cast<std::uint32_t>(value);
  return false;
}

// Loads a checked value into the register of a known command number.
void apply_command(UnitState& unit, std::uint32_t number, std::uint32_t value) {
  switch (number) {
    case 958:
      unit.locked = value == 0;
      break;
    case 1:
      unit.second = value;
      break;
    case 2:
      unit.minute = value;
      break;
    case 3:
      unit.hour = value;
      break;
    case 4:
      unit.year = value;
      break;
    case 5:
      unit.month = value;
      break;
    case 6:
      // Day 0 is the unit's way to stop the clock; a real day restarts it from the loaded time.
      if (value == 0) {
        unit.running = false;
      } else {
        unit.day = value;
        unit.running = true;
      }
      break;
    case 7:
    case 8:
    case 9:
      unit.out1[number - 7] = value;
      break;
    default:
      unit.out2[number - 10] = value;
      break;
  }
}

}  // namespace

void add_to_line(LineBuffer& line, std::uint8_t byte) {
  line.started = true;
  if (line.length < kMaxLineBytes) {
    line.text[line.length++] = byte;
  } else {
    line.overlong = true;
  }
}

bool command_range(std::uint32_t number, std::uint32_t& low, std::uint32_t& high) {
  low = 0;
  switch (number) {
    case 958:
      high = 1;
      return false;
    case 1:
    case 2:
      high = 59;
      return false;
    case 3:
      high = 23;
      return false;
    case 5:
      low = 1;
      high = 12;
      return false;
    case 6:
      high = 31;
      return false;
    case 4:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
      high = 255;
      return false;
    default:
      return true;
  }
}

LineResult execute_line(UnitState& unit, const LineBuffer& line) {
  if (line.overlong) {
    return {Verdict::kRefused, "too long"};
  }
  std::size_t colon = 0;
  while (colon < line.length && line.text[colon] != ':') {
    ++colon;
  }
  std::uint32_t number = 0;
  std::uint32_t value = 0;
  if (colon == line.length || parse_field(line, 0, colon, number) ||
      parse_field(line, colon + 1, line.length, value)) {
    return {Verdict::kRefused, "not N:V"};
  }
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  if (command_range(number, low, high)) {
    return {Verdict::kRefused, "unknown command"};
  }
  if (value < low || value > high) {
    return {Verdict::kRefused, "out of range"};
  }
  if (number != 958 && unit.locked) {
    return {Verdict::kIgnoredLocked, nullptr};
  }
  apply_command(unit, number, value);
  return {Verdict::kApplied, nullptr};
}

void format_state(const UnitState& unit, char* out, std::size_t size) {
  std::snprintf(
      out, size, "clock %02u:%02u:%02u date %u\\%u\\%u %s %s out1 %u,%u,%u out2 %u,%u,%u,%u",
      unit.hour, unit.minute, unit.second, unit.day, unit.month, 2000u + unit.year,
      unit.running ? "running" : "stopped", unit.locked ? "locked" : "unlocked", unit.out1[0],
      unit.out1[1], unit.out1[2], unit.out2[0], unit.out2[1], unit.out2[2], unit.out2[3]);
}

void format_line_report(const LineBuffer& line, const LineResult& result, const UnitState& unit,
                        char* out, std::size_t size) {
  std::array<char, kMaxLineBytes * 4 + 1> text{};
  std::array<char, 160> state{};
  std::array<char, 64> verdict{};
  format_line_text(line, text.data(), text.size());
  format_state(unit, state.data(), state.size());
  switch (result.verdict) {
    case Verdict::kApplied:
      std::snprintf(verdict.data(), verdict.size(), "applied");
      break;
    case Verdict::kRefused:
      std::snprintf(verdict.data(), verdict.size(), "refused (%s)", result.reason);
      break;
    case Verdict::kIgnoredLocked:
      std::snprintf(verdict.data(), verdict.size(), "ignored (locked)");
      break;
    case Verdict::kDropped:
      std::snprintf(verdict.data(), verdict.size(), "dropped");
      break;
  }
  std::snprintf(out, size, "line \"%s\" %s: %s", text.data(), verdict.data(), state.data());
}

void format_final_report(const UnitState& unit, char* out, std::size_t size) {
  std::array<char, 160> state{};
  format_state(unit, state.data(), state.size());
  std::snprintf(out, size, "final: %s", state.data());
}
