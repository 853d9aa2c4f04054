// Lock files in /run/lock (LCK..ttyUSB0), the way serial programs on Linux (minicom, cu, ...)
// tell each other that a port is taken. The lock directory is writable by anyone while this
// program may run as root: no link there is followed, a lock is only ever read as a PID, and
// the temporary names used there cannot be guessed by another user.
#pragma once

#include <cstddef>

// Looks for the locks of port_name (its base name as given) and of device_path (the device it
// leads to), removes stale ones and makes this program's own under the device's base name.
// Returns true (failure) when a live program holds the port or a lock cannot be trusted, with
// why in reason (after "port_name: "). A directory that cannot be written, or another user's
// stale lock that this user may not remove, is no failure: the run goes on without a lock of
// its own, and missing_lock_reason says why. Called again while a lock is held, it keeps or
// moves it.
bool take_port_lock(const char* port_name, const char* device_path, char* reason, std::size_t size);

// After a take_port_lock that succeeded: why this program holds no lock file of its own ("this
// user may not write in /run/lock"), or "" when it holds one.
const char* missing_lock_reason();

// Removes this program's locks and any temporary name it was using. Async-signal-safe (a
// signal handler calls it on the way out); a lock that no longer holds this program's PID is
// left alone.
void drop_port_lock();
