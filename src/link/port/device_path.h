// The name Windows is given for the port a technician named. Plain code, so that it is tested
// on every platform; only the Windows serial link uses it.
#pragma once

#include <cstddef>

// Writes into out (size bytes) the path CreateFileA opens for port_name: "COM3" becomes
// "\\.\COM3" (COM10 and above, and names such as CNCA0, exist only in the device namespace),
// "COM3:" loses its one trailing colon (a DOS habit) first, and a name that already starts
// with "\\" is taken as it stands. Returns true (failure) when the result would not fit.
bool windows_device_path(const char* port_name, char* out, std::size_t size);
