// The serial ports on Windows: the COM names the system knows.
#include "link/port_list.h"

void list_serial_ports(char* out, std::size_t size) {
  if (size > 0) {
    out[0] = '\0';
  }
}
