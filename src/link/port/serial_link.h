// The serial port: open and configure it, move single bytes. One implementation per platform;
// nothing above this header knows which.
#pragma once

#include <cstdint>

// An open port, or kInvalidPort.
using PortHandle = int;
constexpr PortHandle kInvalidPort = -1;

// Opens the port exclusively at baud_rate (not 0: the run sequence refuses that before any
// port is opened), 8N1, no flow control, DTR and RTS off, reads that never wait. Returns
// kInvalidPort on any failure, with nothing left open. Every look that can refuse the port (not a
// terminal line, this program's own terminal, another program's lock, another program holding it
// open) comes before anything on the port changes, so a refused port keeps its settings; on POSIX
// systems the own lock file is made before the open.
PortHandle open_port(const char* port_name, std::uint32_t baud_rate);

// Closes a port that open_port returned, giving it back the line settings it had when opened,
// with DTR and RTS down; kInvalidPort is ignored.
void close_port(PortHandle port);

// For a signal handler on the way out: gives back what open_port took beyond the descriptor
// itself, which the system closes: the line settings found, DTR and RTS down, the exclusive
// claim and the lock file. Async-signal-safe; does nothing when no port is open.
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

// What ready_port_for_attempt found: the port as it was, no port, or the port opened again.
enum class PortFit { kReady, kMissing, kReopened };

// Before every attempt of the exchange: makes the port fit for one attempt. Lowers DTR and RTS
// again (any other program that opens the port raises them), and when the line was found gone
// (a hang-up, an unplugged adapter) tries to open it again by the same name and settings,
// updating `port`. kMissing while the port is not there: the attempt then goes on and fails on
// its own, at its usual pace. kReopened once it is open again, on what may be another unit or
// the same one powered again.
PortFit ready_port_for_attempt(PortHandle& port);

// Why the last open_port failed, as text for one line on standard error after the program's
// name (at most three lines where a list of ports follows), without a final line end; "" when
// nothing more is known.
const char* open_failure_reason();
