// COM port names: the COM ports among the device names Windows knows, and a Windows name given
// on Linux. Plain code, so that it is tested on every platform.
#pragma once

#include <cstddef>

// names: what QueryDosDevice lists, each name ended by a NUL, `length` bytes in all (a cut list
// is fine). Writes the COM ports among them into out (size bytes, always terminated) in the
// order of their numbers, each once, as one line: "COM1, COM5, COM12"; "" when there are none.
void com_port_list(const char* names, std::size_t length, char* out, std::size_t size);

// Whether name (length bytes) is "COM" in any case followed by digits only (COM1, com12).
bool is_com_name(const char* name, std::size_t length);
