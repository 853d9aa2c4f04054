// Lock files in /run/lock (LCK..ttyUSB0), the way serial programs on Linux (minicom, cu, ...)
// tell each other that a port is taken. The lock directory is writable by anyone while this
// program may run as root: no link there is followed and a lock is only ever read as a PID.
// For the tests, QUORVEL_TEST_LOCK_DIR names the one lock directory instead (read once).
#pragma once

#include <cstddef>

// Looks for the locks of port_name (its base name as given) and of device_path (the device it
// leads to) and removes stale ones; with `make`, then makes this program's own under the
// device's base name. Returns true (failure) when a live program holds the port or a lock
// cannot be trusted, with why in reason (after "port_name: "). A directory that cannot be
// written is passed over, so the run may go on holding no lock at all. Called again while a
// lock is held, it keeps or moves it.
bool take_port_lock(const char* port_name, const char* device_path, bool make, char* reason,
                    std::size_t size);

// Removes this program's locks. Async-signal-safe (a signal handler calls it on the way out);
// a lock that no longer holds this program's PID is left alone.
void drop_port_lock();
