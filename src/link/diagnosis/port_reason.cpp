#include "link/diagnosis/port_reason.h"

#include <cstdio>
#include <cstring>

#include "common/reason.h"

namespace {

// " (note)", or "" for no note, as printf arguments.
const char* open_paren(const char* note) {
  return note[0] != '\0' ? " (" : "";
}
const char* close_paren(const char* note) {
  return note[0] != '\0' ? ")" : "";
}

}  // namespace

void printable_name(const char* port_name, char* out, std::size_t size) {
  show_text(out, size, port_name, std::strlen(port_name), kNameShown);
}

void say_no_such_port(char* out, std::size_t size, const char* shown, const char* note,
                      const char* ports) {
  std::snprintf(
      out, size, "%s: no such port%s%s%s%s%s", shown, open_paren(note), note, close_paren(note),
      ports[0] != '\0' ? ". Serial ports here: " : "; no serial port was found on this computer",
      ports);
}

void say_in_use(char* out, std::size_t size, const char* shown, const char* note) {
  std::snprintf(out, size, "%s: in use by another program%s%s%s", shown, open_paren(note), note,
                close_paren(note));
}

void say_not_serial(char* out, std::size_t size, const char* shown, const char* note) {
  std::snprintf(out, size, "%s: not a serial port%s%s%s", shown, open_paren(note), note,
                close_paren(note));
}
