// What the simulator writes down: the --wire file of received bytes and the log on stdout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simulator.h"

// Writes one finished text line to stdout and flushes it, so a reader sees it at once.
void emit_line(const char* text);

// Appends raw received bytes to the --wire file. A failing file is reported once and then left
// alone, so the unit keeps working.
void record_wire(Simulator& sim, const std::uint8_t* bytes, std::size_t size);

// Logs the line just received with what became of it and the unit's state.
void log_line(const Simulator& sim, const LineResult& result);

// Logs the settings the client has left on the line ("port: 9600 8N1", then the names of
// whichever of the modes that alter or hold back bytes are set) when they differ from the last
// logged: a unit that sees garbled bytes shows why.
void log_port_settings(Simulator& sim);
// Logs the unit's final state.
void log_final(const Simulator& sim);
