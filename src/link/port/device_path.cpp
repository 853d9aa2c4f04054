#include "link/port/device_path.h"

#include <cstdio>
#include <cstring>

bool windows_device_path(const char* port_name, char* out, std::size_t size) {
  if (size == 0) {
    return true;
  }
  const bool has_namespace = port_name[0] == '\\' && port_name[1] == '\\';
  std::size_t length = std::strlen(port_name);
  // "\\.\COM3:" does not exist, while the plain Win32 name "COM3:" is COM3.
  if (!has_namespace && length > 1 && port_name[length - 1] == ':') {
    --length;
  }
  const int n = std::snprintf(out, size, "%s%.*s", has_namespace ? "" : "\\\\.\\",
                              static_cast<int>(length), port_name);
  return n < 0 || static_cast<std::size_t>(n) >= size;
}
