// A unit on the host side of one guest port: echoes every byte (at the line's pace when told),
// stays silent, or floods the line; and notes each byte it received with the state of DTR and
// RTS, read from QEMU's trace, when the byte came.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "line_trace.h"

namespace qemu {

enum class UnitMode { kEcho, kSilent, kFlood };

struct FakeUnit {
  int fd = -1;
  std::thread worker;
  std::atomic<bool> stop{false};
  std::atomic<UnitMode> mode{UnitMode::kEcho};
  std::atomic<std::uint32_t> pace_baud{0};  // 0: echo at once
  std::mutex lock;                          // guards what follows
  std::string received;
  unsigned received_while_up = 0;  // bytes that came while DTR or RTS was up
  LineTrace trace;
};

// Connects to the port's socket and starts serving it. Returns true (failure) when it cannot.
bool start_unit(FakeUnit& unit, const std::string& socket_path, PortKind kind,
                const std::string& trace_path);

// Forgets what was received so far, and brings the trace up to date: the start of a case.
void reset_unit(FakeUnit& unit, UnitMode mode, std::uint32_t pace_baud = 0);

// What was received, the bytes received while a line was up, and the lines as the trace now
// shows them.
std::string unit_received(FakeUnit& unit);
unsigned unit_bytes_while_up(FakeUnit& unit);
LineState unit_lines(FakeUnit& unit);

void stop_unit(FakeUnit& unit);

}  // namespace qemu
