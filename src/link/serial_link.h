// The serial port and the program's clock: open and configure the port, move single bytes,
// and pause. One implementation per platform; nothing above this header knows which.
#pragma once

#include <cstdint>

// An open port, or kInvalidPort.
using PortHandle = int;
constexpr PortHandle kInvalidPort = -1;

// Opens the port exclusively at baud_rate, 8N1, no flow control, DTR and RTS off, reads that
// never wait. Returns kInvalidPort on any failure, with nothing left open.
PortHandle open_port(const char* port_name, std::uint32_t baud_rate);

// Closes a port that open_port returned; kInvalidPort is ignored.
void close_port(PortHandle port);

// For a signal handler on the way out: gives up what open_port claimed beyond the descriptor
// itself, which the system closes. Async-signal-safe; does nothing when no port is open.
void release_port_for_exit();

// Writes one byte, then pauses `pause` ms when that is not 0. Write errors are not reported.
void write_byte(PortHandle port, std::uint32_t pause, std::uint8_t byte);

// Takes one received byte without waiting. Returns true (failure) when none was waiting or the
// read failed; byte_out is then untouched.
bool read_byte(PortHandle port, std::uint8_t& byte_out);

// Blocks in the operating system for at most timeout_ms, returning early when a byte may be
// waiting (or, where the system offers nothing to wait on, after a short slice). It never
// returns at once on a broken or hung-up line, so a caller's read loop never spins.
void wait_for_byte(PortHandle port, std::uint32_t timeout_ms);

// Milliseconds from a monotonic clock as a wrapping 32-bit count; use unsigned differences.
std::uint32_t tick_ms();

// Sleeps in the operating system for about ms milliseconds (may return a little early).
void sleep_ms(std::uint32_t ms);

// 0 returns at once; otherwise lasts until more than max(ms, 20) ticks have passed.
void pause_ms(std::uint32_t ms);
