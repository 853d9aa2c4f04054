// The words every platform's serial link uses for a port that would not open, so that a
// technician reads the same reason and the same way out on Linux and on Windows.
#pragma once

#include <cstddef>

// The port's name made fit for one line of text: control bytes as \xNN, a long name cut short.
void printable_name(const char* port_name, char* out, std::size_t size);

// "NAME: no such port", then " (NOTE)" unless note is "", then ". Serial ports here: PORTS",
// or "; no serial port was found on this computer" when ports is "".
void say_no_such_port(char* out, std::size_t size, const char* shown, const char* note,
                      const char* ports);

// "NAME: in use by another program", then " (NOTE)" unless note is "": who holds it, or what
// the system said.
void say_in_use(char* out, std::size_t size, const char* shown, const char* note);

// "NAME: not a serial port", then " (NOTE)" unless note is "".
void say_not_serial(char* out, std::size_t size, const char* shown, const char* note);
