// Programming the unit: one command line per setting, each resent until the unit echoes it.
#pragma once

#include <cstdint>

#include "link/serial_link.h"

// Writes text and one more CR, char_pause after every byte, then line_pause.
void send_line(PortHandle port, std::uint32_t char_pause, std::uint32_t line_pause,
               const char* text);

// Returns true (failure) unless every character of expected comes back in order, other bytes
// allowed between them, before budget_ms has passed. Bytes already received take part.
bool await_echo(PortHandle port, const char* expected, std::uint32_t budget_ms);

// Prints label and sends line until the unit echoes it. Returns true when the operator pressed
// ESC, which is looked at once per attempt, after sending.
bool exchange_step(PortHandle port, const char* label, const char* line);

// Runs the sixteen steps from unlock to lock with the values of g_setup and prints the verdict.
void program_device(PortHandle port);
