// Scripted stand-ins for the keyboard, the serial port and the exit path, with a virtual clock, so
// the shared logic runs in unit tests deterministically and without waiting.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fake {

// Keys the editors will read, in order; when they run out, the input has ended.
void set_keys(const std::vector<int>& keys);

// Bytes the unit sends, each with the virtual time (ms) it arrives.
void set_arrivals(const std::vector<std::pair<std::uint32_t, std::uint8_t>>& arrivals);

// Starts the virtual clock at `start` (to test the wrap) and clears everything written.
void reset_clock(std::uint32_t start);

// Virtual ms since reset_clock.
std::uint32_t elapsed();

// What the program wrote to the port since reset_clock.
const std::string& written();

}  // namespace fake
