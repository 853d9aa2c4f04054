// Why a COM port would not open, from the system's own text for the error, with the same way
// out a technician reads on Linux.
#pragma once

#include <cstddef>
#include <cstdint>

// CreateFileA failed with `error`: no such port (with the COM ports Windows knows), in use by
// another program ("Access is denied" on a COM port means just that), or the system's text.
void explain_open_error(const char* port_name, std::uint32_t error, char* out, std::size_t size);

// The name opened, but the time-outs or the line settings cannot be read: not a serial port.
void explain_not_serial(const char* port_name, std::uint32_t error, char* out, std::size_t size);

// The driver refused the line settings, on every try: the speed, most likely.
void explain_line_refused(const char* port_name, std::uint32_t baud_rate, std::uint32_t error,
                          char* out, std::size_t size);

// The name is too long to become a device path.
void explain_long_name(const char* port_name, char* out, std::size_t size);
