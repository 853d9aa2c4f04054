// Why a port would not open, in words a technician can act on: the same reason and the same
// way out on Linux and on Windows. The shared words are plain code; each platform's serial link
// has its own explaining routines, defined only on that platform.
#pragma once

#include <cstddef>
#include <cstdint>

// The port's name made fit for one line of text: control bytes as \xNN, a long name cut short.
void printable_name(const char* port_name, char* out, std::size_t size);

// Characters of a port name a reason quotes, and the room printable_name needs for them with
// the "..." of a name cut short and the final NUL.
constexpr std::size_t kNameShown = 64;
constexpr std::size_t kShownNameBytes = kNameShown + sizeof "...";

// "NAME: no such port", then " (NOTE)" unless note is "", then ". Serial ports here: PORTS",
// or "; no serial port was found on this computer" when ports is "".
void say_no_such_port(char* out, std::size_t size, const char* shown, const char* note,
                      const char* ports);

// "NAME: in use by another program", then " (NOTE)" unless note is "": who holds it, or what
// the system said.
void say_in_use(char* out, std::size_t size, const char* shown, const char* note);

// "NAME: not a serial port", then " (NOTE)" unless note is "".
void say_not_serial(char* out, std::size_t size, const char* shown, const char* note);

// On a POSIX system:

// "PID 1234, minicom" (the name where /proc tells it), or "PID 1234".
void describe_process(long pid, char* out, std::size_t size);

// Another process holding device_path open, described as above, or "" when none is found.
void find_holder(const char* device_path, char* out, std::size_t size);

// Writes "port_name: what was wrong: what to do" for a failure with errno value `error` from
// the look at the port, its open or its locking (EBUSY, EWOULDBLOCK: held by another program).
void explain_error(const char* port_name, const char* device_path, int error, char* out,
                   std::size_t size);

// On Windows, from the system's own text for the error:

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
