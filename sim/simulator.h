// The simulator's one record: its options, the unit model, the line being received, the echo
// on its way back and the descriptors of the pseudo-terminal. The procedures of each part of
// the simulator work on it: sim_options.h, echo.h, pty_link.h, wire_log.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "unit_model.h"

constexpr std::size_t kPathBytes = 4096;
// Echo bytes waiting to leave; a power of two so the ring index wraps with a mask.
constexpr std::size_t kQueueBytes = 16384;

struct SimOptions {
  const char* link_path = nullptr;
  const char* wire_path = nullptr;
  bool silent = false;
  bool noise = false;
  bool flood = false;
  std::uint32_t drop_every = 0;    // 0: never drop
  std::uint32_t late_ms = 0;       // 0: echo at once
  std::uint64_t late_line = 0;     // 0: late_ms delays every echo; else only this line's
  std::uint32_t pace_baud = 0;     // 0: send as fast as the master takes it
  bool pace_line = false;          // --pace line: pace_baud follows the rate the client set
  std::uint64_t hangup_after = 0;  // 0: never hang up
};

struct QueuedByte {
  std::int64_t due_us = 0;
  std::uint8_t byte = 0;
};

// Bytes on their way back to the tool, in arrival order; with a fixed delay per queue their due
// times never decrease, so the head is always the next of its queue to leave.
struct EchoQueue {
  std::array<QueuedByte, kQueueBytes> ring{};
  std::size_t head = 0;
  std::size_t count = 0;
};

struct Simulator {
  SimOptions options;
  UnitState unit;
  LineBuffer line;
  EchoQueue queue;
  EchoQueue late_queue;  // the --late-line line's echo, which the others overtake
  int master_fd = -1;
  int wire_fd = -1;
  int notify_fd = -1;         // opens and closes of the slave by clients; -1 when not available
  bool client_there = false;  // another program has the slave open
  bool wire_failed = false;
  bool link_made = false;
  std::array<char, kPathBytes> slave_name{};
  std::array<char, 200> last_settings{};  // as log_port_settings last logged them
  std::uint64_t received = 0;
  std::uint64_t nonempty_lines = 0;
  std::size_t noise_index = 0;
  std::size_t flood_index = 0;
  std::int64_t next_send_us = 0;   // with --pace: the earliest the next byte may leave
  std::int64_t next_flood_us = 0;  // --flood without --pace: when the next junk is due
};

// Microseconds on the monotonic clock.
std::int64_t now_us();
