// Scripted stand-ins for the keyboard, the serial port and the exit path, with a virtual clock, so
// the shared logic runs in unit tests deterministically and without waiting.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fake {

// Keys the editors will read, in order, typed from virtual time `from` (ms since reset_clock);
// when they run out, the input has ended.
void set_keys(const std::vector<int>& keys, std::uint32_t from = 0);

// What the unit sends: bursts of bytes, each with the virtual time (ms) it arrives.
using Bursts = std::vector<std::pair<std::uint32_t, std::string>>;
void set_arrivals(const Bursts& bursts);

// A unit that never goes quiet: every read finds a junk byte, each a millisecond after the
// last, up to `bytes` of them (a bound, so a wait that never ends fails instead of hanging).
void set_flood(std::uint32_t bytes);

// Starts the virtual clock at `start` (to test the wrap).
void reset_clock(std::uint32_t start);

// Virtual ms since reset_clock.
std::uint32_t elapsed();

}  // namespace fake
