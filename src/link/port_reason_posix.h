// Why a port would not open, in words a technician can act on.
#pragma once

#include <cstddef>
#include <cstdint>

// "PID 1234, minicom" (the name where /proc tells it), or "PID 1234".
void describe_process(long pid, char* out, std::size_t size);

// Another process holding device_path open, described as above, or "" when none is found.
void find_holder(const char* device_path, char* out, std::size_t size);

// Writes "port_name: what was wrong: what to do" for a failure with errno value `error` from
// the look at the port, its open or its locking (EBUSY, EWOULDBLOCK: held by another program).
void explain_error(const char* port_name, const char* device_path, int error, char* out,
                   std::size_t size);
