// The serial ports this computer has, for telling a technician which names exist.
#pragma once

#include <cstddef>

// Writes the serial ports present now into out (size bytes, always terminated) as one line,
// e.g. "/dev/ttyUSB0 (FT232R USB UART, /dev/serial/by-id/usb-FTDI_...), /dev/ttyS0", or "" when
// none is found. Reads only what the system publishes; opens no port.
void list_serial_ports(char* out, std::size_t size);

// On a POSIX system: whether device_path is a terminal line, as far as the system tells without
// the device being opened (an open alone can act on some devices). On Linux: a device of the
// kernel's tty class or a pseudo-terminal's far end, but never /dev/tty, /dev/console or
// /dev/ptmx. Where the system tells nothing, true: the open and its checks decide.
bool is_terminal_line(const char* device_path);
