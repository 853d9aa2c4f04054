// What the unit sends back and when: the echo queues, and the faults that shape them (--silent,
// --noise, --late, --late-line, --pace, --flood).
#pragma once

#include <cstddef>
#include <cstdint>

#include "simulator.h"

// How many more bytes the fuller of the two queues can take.
std::size_t echo_room(const Simulator& sim);

// Queues the echo of one received byte, led by a junk byte in --noise mode. Only the line that
// --late-line names waits --late ms when that is given; otherwise every byte does.
void echo_byte(Simulator& sim, std::uint8_t byte, std::int64_t arrival_us, bool late_line);

// Sends every queued byte whose time has come, as far as the master accepts them and --pace
// allows. Returns true when a due byte is still waiting because the master is full.
bool send_due(Simulator& sim, std::int64_t now);

// --flood: keeps junk waiting for a client so that its reads never find the line quiet. Echo
// bytes that are due go first; with --pace the junk fills the gaps between them. Returns true
// when the master took none because it is full (a client that stopped reading).
bool flood(Simulator& sim, std::int64_t now);

// When the unit next has something to do on its own: a queued byte falls due, --pace lets the
// next one go, or --flood tops up. -1 for nothing.
std::int64_t next_wake_us(const Simulator& sim, bool blocked);
