// The Linux port list with its roots given, so it can be read from a tree other than the
// system's own.
#pragma once

#include <cstddef>

// As list_serial_ports, reading sysfs under sys_root (the system's is "/sys") and the device
// nodes under dev_root ("/dev"); the names written start with dev_root.
void list_serial_ports_in(const char* sys_root, const char* dev_root, char* out, std::size_t size);
