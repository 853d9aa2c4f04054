// The COM ports among the device names Windows knows. Plain code, so that it is tested on every
// platform; only the Windows port list uses it.
#pragma once

#include <cstddef>

// names: what QueryDosDevice lists, each name ended by a NUL, `length` bytes in all (a cut list
// is fine). Writes the COM ports among them into out (size bytes, always terminated) in the
// order of their numbers, each once, as one line: "COM1, COM5, COM12"; "" when there are none.
void com_port_list(const char* names, std::size_t length, char* out, std::size_t size);
