// The unit's end of the line: the pseudo-terminal, the --link that names it, and the clients
// that open and close it.
#pragma once

#include <cstdint>

#include "simulator.h"

// Creates the pseudo-terminal, its slave left with the settings the kernel gives a new line (a
// client sets it up for itself); the slave is not kept open, as only the clients may hold it.
// Starts watching the clients' opens and closes where the system allows. Returns true (failure)
// after reporting on stderr.
bool open_pseudo_terminal(Simulator& sim);

// Points link_path at the slave, replacing a symbolic link but nothing else.
// Returns true (failure) after reporting on stderr.
bool make_link(Simulator& sim);

// Removes the link made at start, unless something else has taken its place since.
void remove_link(Simulator& sim);

// Takes the clients' pending opens and closes. Call it when the watch descriptor is readable.
void read_notifications(Simulator& sim);

// The master said that no client has the slave open (a hang-up, EIO): looks who is still
// there. Where opens cannot be watched, pauses a little instead, so the loop never spins.
void master_hung_up(Simulator& sim);

// Whether a client has the port open; always true where opens cannot be watched.
bool client_present(const Simulator& sim);

// The rate the client last set on the line, in bit/s; 0 when it is not one of the standard
// rates (a custom one, or none).
std::uint32_t line_rate(const Simulator& sim);

// Closes the master (what the tool sees as the hang-up) and the watch.
void close_line(Simulator& sim);
