// The unit's end of the line: the pseudo-terminal, the --link that names it, and the clients
// that open and close it.
#pragma once

#include <cstdint>

#include "simulator.h"

// Creates the pseudo-terminal, opens and keeps its slave, and sets the slave raw so that the
// line discipline neither echoes nor translates anything before the tool configures it; starts
// watching the clients' opens and closes where the system allows. Returns true (failure) after
// reporting on stderr.
bool open_pseudo_terminal(Simulator& sim);

// Points link_path at the slave, replacing a symbolic link but nothing else.
// Returns true (failure) after reporting on stderr.
bool make_link(Simulator& sim);

// Removes the link made at start, unless something else has taken its place since.
void remove_link(Simulator& sim);

// Takes the clients' pending opens and closes. When the last client has gone, the port is
// given back as a new client expects it: not exclusive, whatever the last one set. Call it when
// the watch descriptor is readable.
void read_notifications(Simulator& sim);

// Whether a client has the port open; always true where opens cannot be watched.
bool client_present(const Simulator& sim);

// The rate the client last set on the line, in bit/s; 0 when it is not one of the standard
// rates (a custom one, or none).
std::uint32_t line_rate(const Simulator& sim);

// Closes the master (what the tool sees as the hang-up), the slave and the watch.
void close_line(Simulator& sim);
