// Programming the unit: one command line per setting, each resent until the unit echoes it.
#pragma once

#include <cstdint>

#include "link/port/serial_link.h"

// Writes text and one more CR, char_pause after every byte, then line_pause.
void send_line(PortHandle port, std::uint32_t char_pause, std::uint32_t line_pause,
               const char* text);

// Returns true (failure) unless expected, its CR included, comes back before budget_ms has
// passed as one unbroken run of the bytes a command line can hold (digits, ':' and CR; any
// other byte is skipped as noise): the echo of another value ("7:10" for "7:0") or of another
// line ("13:0" for "1:0") is no acknowledgement. Bytes already received take part. The time is
// tested on every pass, so a line that never goes quiet still ends the wait on time.
bool await_echo(PortHandle port, const char* expected, std::uint32_t budget_ms);

// How long one attempt at line waits for its echo at baud_rate: a second, plus the time the
// attempt's bytes (a CR, the line, one more CR; 10 bits each) take on the wire.
std::uint32_t echo_budget_ms(const char* line, std::uint32_t baud_rate);

// How a step ended: its line echoed, ESC, or the port opened again after it had gone.
enum class StepEnd { kDone, kAborted, kReplugged };

// Prints label and sends line until the unit echoes it. ESC is looked at once per attempt,
// after sending. Each attempt first makes the port fit (ready_port_for_attempt), which may open it
// again under a new handle after a replug; the step then ends before printing or sending
// anything, since what the unit holds is no longer known.
StepEnd exchange_step(PortHandle& port, const char* label, const char* line);

// Runs the sixteen steps from unlock to lock with the values of g_setup and prints the verdict;
// after a replug it starts again from the unlock. The clock fields that came from the PC clock
// are read from it again as the clock steps begin. Before the verdict it takes in what the unit
// still sends, until the line has been quiet for 20 ms and two bytes' time (a quarter of a
// second longer at most). Returns true (failure)
// when the run did not get through (the operator pressed ESC). port is the handle the run closes at
// its end, kept current across a replug.
bool program_device(PortHandle& port);
