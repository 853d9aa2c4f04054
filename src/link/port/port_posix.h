// What the POSIX serial port's own sources share: the state of the line, its settings and the
// reason of the open under way. Only the files of this folder include it.
#pragma once

#include <cstdint>

// Sets the reason of the open under way to "NAME: what", the port's name made printable.
void say_open_failure(const char* port_name, const char* what);

// Sets the reason to "NAME: not a serial port".
void say_not_a_serial_port(const char* port_name);

// Whether errno value `error` says the line is gone (a hang-up, an adapter pulled).
bool gone_error(int error);

// Whether a read, a write or a wait found the line gone since the port was last opened.
bool line_gone();

// After a look at the modem lines found the line gone.
void note_line_gone();

// A freshly opened port: nothing is known to be wrong with its line.
void reset_line_state();

// DTR and RTS off. Returns true (failure) with errno set; a pseudo-terminal, which has no modem
// lines, is no failure.
bool lower_modem_lines(int fd);

// Sets raw 8N1 at baud_rate (not 0) and checks that the driver holds it. Returns true (failure)
// with the reason set, or, where only errno tells, the reason left "".
bool set_line(int fd, const char* port_name, std::uint32_t baud_rate);
