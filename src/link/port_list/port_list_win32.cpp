// The serial ports on Windows: the COM names the system knows, from its list of DOS device
// names (the same list Device Manager's "Ports (COM & LPT)" names come from).
#include <windows.h>

#include <array>

#include "link/port_list/com_names.h"
#include "link/port_list/port_list.h"

namespace {

// Every DOS device name of the system, each ended by a NUL; a list that does not fit is cut,
// which only shortens the ports named.
std::array<char, 65536> g_names{};

}  // namespace

void list_serial_ports(char* out, std::size_t size) {
  const DWORD length = QueryDosDeviceA(nullptr, g_names.data(), static_cast<DWORD>(g_names.size()));
  // 0 with ERROR_INSUFFICIENT_BUFFER still leaves the part that fitted in the buffer.
  const std::size_t known =
      length != 0 ? length : (GetLastError() == ERROR_INSUFFICIENT_BUFFER ? g_names.size() : 0);
  com_port_list(g_names.data(), known, out, size);
}
