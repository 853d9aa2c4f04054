// The serial ports this computer has, for telling a technician which names exist.
#pragma once

#include <cstddef>

// Writes the serial ports present now into out (size bytes, always terminated) as one line,
// e.g. "/dev/ttyUSB0 (FT232R USB UART, /dev/serial/by-id/usb-FTDI_...), /dev/ttyS0", or "" when
// none is found. Reads only what the system publishes; opens no port.
void list_serial_ports(char* out, std::size_t size);
