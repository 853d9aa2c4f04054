#include "line_trace.h"

#include <cstdio>
#include <cstring>

namespace qemu {

namespace {

// "NAME " opens the event's text, after an optional "PID@TIME:" prefix.
const char* after_event(const std::string& line, const char* name) {
  const std::size_t at = line.find(name);
  if (at == std::string::npos) {
    return nullptr;
  }
  const std::size_t end = at + std::strlen(name);
  if (end >= line.size() || line[end] != ' ' || (at > 0 && line[at - 1] != ':')) {
    return nullptr;
  }
  return line.c_str() + end;
}

void set_lines(LineState& state, bool dtr, bool rts) {
  state.dtr = dtr;
  state.rts = rts;
  ++state.controls;
  if (dtr || rts) {
    ++state.raises;
  }
}

}  // namespace

void apply_trace_line(PortKind kind, const std::string& line, LineState& state) {
  unsigned a = 0;
  unsigned b = 0;
  if (kind == PortKind::kUart) {
    if (const char* text = after_event(line, "serial_write")) {
      // The modem-control register is at offset 4: bit 0 DTR, bit 1 RTS.
      if (std::sscanf(text, " write addr 0x%x val 0x%x", &a, &b) == 2 && a == 4) {
        set_lines(state, (b & 1U) != 0, (b & 2U) != 0);
      }
    } else if (const char* text = after_event(line, "serial_update_parameters")) {
      if (std::sscanf(text, " baudrate=%u", &a) == 1) {
        state.baud = a;
      }
    }
    return;
  }
  if (const char* text = after_event(line, "usb_serial_handle_control")) {
    // FTDI's SET_MODEM_CTRL (vendor request 1): bits 0 and 1 the levels of DTR and RTS, bits
    // 8 and 9 say which of them the request sets.
    const char* request = std::strstr(text, "got control 0x");
    if (request != nullptr && std::sscanf(request, "got control 0x%x, value 0x%x", &a, &b) == 2 &&
        a == 0x4001) {
      const bool dtr = (b & 0x100U) != 0 ? (b & 1U) != 0 : state.dtr;
      const bool rts = (b & 0x200U) != 0 ? (b & 2U) != 0 : state.rts;
      set_lines(state, dtr, rts);
    }
  } else if (const char* text = after_event(line, "usb_serial_set_baud")) {
    const char* rate = std::strstr(text, "baud rate ");
    if (rate != nullptr && std::sscanf(rate, "baud rate %u", &a) == 1) {
      state.baud = a;
    }
  }
}

void sync_trace(LineTrace& trace) {
  FILE* file = std::fopen(trace.path.c_str(), "r");
  if (file == nullptr) {
    return;
  }
  if (std::fseek(file, trace.offset, SEEK_SET) == 0) {
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
      trace.offset += static_cast<long long>(n);
      trace.partial.append(buffer, n);
    }
  }
  std::fclose(file);
  std::size_t start = 0;
  std::size_t end = 0;
  while ((end = trace.partial.find('\n', start)) != std::string::npos) {
    apply_trace_line(trace.kind, trace.partial.substr(start, end - start), trace.state);
    start = end + 1;
  }
  trace.partial.erase(0, start);
}

}  // namespace qemu
