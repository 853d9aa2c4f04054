#include <windows.h>

#include <array>
#include <cstdio>

#include "common/reason.h"
#include "link/diagnosis/port_reason.h"
#include "link/port_list/port_list.h"

namespace {

// The system's text for `error`, in English where Windows has it (the program speaks English),
// else in the system's language; without its closing full stop and line end, and with bytes
// outside printable ASCII made visible, so it fits in one line of the reason.
void system_text(std::uint32_t error, char* out, std::size_t size) {
  std::array<char, 256> text{};
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD length = FormatMessageA(flags, nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                text.data(), static_cast<DWORD>(text.size()), nullptr);
  if (length == 0) {
    length = FormatMessageA(flags, nullptr, error, 0, text.data(), static_cast<DWORD>(text.size()),
                            nullptr);
  }
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                        text[length - 1] == ' ' || text[length - 1] == '.')) {
    --length;
  }
  if (length == 0) {
    std::snprintf(out, size, "error %lu", static_cast<unsigned long>(error));
    return;
  }
  show_text(out, size, text.data(), length, 120);
}

}  // namespace

void explain_open_error(const char* port_name, std::uint32_t error, char* out, std::size_t size) {
  std::array<char, kShownNameBytes> shown{};
  printable_name(port_name, shown.data(), shown.size());
  std::array<char, 640> said{};
  system_text(error, said.data(), said.size());
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: {
      std::array<char, 640> ports{};
      list_serial_ports(ports.data(), ports.size());
      say_no_such_port(out, size, shown.data(), said.data(), ports.data());
      break;
    }
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      say_in_use(out, size, shown.data(), said.data());
      break;
    default:
      std::snprintf(out, size, "%s: %s", shown.data(), said.data());
      break;
  }
}

void explain_not_serial(const char* port_name, std::uint32_t error, char* out, std::size_t size) {
  std::array<char, kShownNameBytes> shown{};
  printable_name(port_name, shown.data(), shown.size());
  std::array<char, 640> said{};
  system_text(error, said.data(), said.size());
  say_not_serial(out, size, shown.data(), said.data());
}

void explain_line_refused(const char* port_name, std::uint32_t baud_rate, std::uint32_t error,
                          char* out, std::size_t size) {
  std::array<char, kShownNameBytes> shown{};
  printable_name(port_name, shown.data(), shown.size());
  std::array<char, 640> said{};
  system_text(error, said.data(), said.size());
  std::snprintf(out, size, "%s: the port cannot run at %lu bit/s, 8N1 (%s)", shown.data(),
                static_cast<unsigned long>(baud_rate), said.data());
}

void explain_long_name(const char* port_name, char* out, std::size_t size) {
  std::array<char, kShownNameBytes> shown{};
  printable_name(port_name, shown.data(), shown.size());
  std::snprintf(out, size, "%s: no such port; the name is too long for a port", shown.data());
}
