// The Linux port list with its roots given, so it can be read from a tree other than the
// system's own.
#pragma once

#include <cstddef>

// As list_serial_ports, reading sysfs under sys_root (the system's is "/sys") and the device
// nodes under dev_root ("/dev"); the names written start with dev_root.
void list_serial_ports_in(const char* sys_root, const char* dev_root, char* out, std::size_t size);

// The order of the list: every run of digits compares as the number it writes (ttyS2 before
// ttyS10, however long the run), all else byte by byte, and names of equal value byte by byte.
// A strict total order, fit for std::sort.
bool port_name_less(const char* a, const char* b);
