// The modem-control lines and the rate of one port as QEMU's trace shows them, read from the
// trace file as it grows.
#pragma once

#include <cstdint>
#include <string>

namespace qemu {

enum class PortKind { kUart, kUsb };

struct LineState {
  bool dtr = false;
  bool rts = false;
  unsigned raises = 0;     // control writes that left DTR or RTS up
  unsigned controls = 0;   // control writes of any kind
  std::uint32_t baud = 0;  // the rate the port was last set to, as the hardware makes it
};

struct LineTrace {
  PortKind kind = PortKind::kUart;
  std::string path;
  long long offset = 0;  // how far the file has been read
  std::string partial;   // a line not yet complete
  LineState state;
};

// Reads what was added to the trace since the last call and applies the lines of this kind's
// port. The 16550's writes name no port, so after boot only the tested UART may write its
// modem-control register: the agent's UART keeps its settings from then on.
void sync_trace(LineTrace& trace);

// Applies one trace line to state (for the tests of the parser and for sync_trace).
void apply_trace_line(PortKind kind, const std::string& line, LineState& state);

}  // namespace qemu
