#include "echo.h"

#include <unistd.h>

#include <array>
#include <cerrno>

#include "pty_link.h"

namespace {

// Junk sent in --noise and --flood mode: none of these can occur in a command line.
constexpr std::array<std::uint8_t, 5> kNoiseCycle = {'#', '\n', 0xFF, '?', 'x'};
// --flood sends kFloodChunk junk bytes every tick, a steady stream that a reader taking one
// byte per read finds waiting at every look and still drains far faster than it comes, so an
// echo behind it arrives within a tick or two. (How much is still waiting for the client
// cannot be asked without opening its side of the line, which a port in use by another program
// would be to a careful client.)
constexpr std::size_t kFloodChunk = 32;
constexpr std::int64_t kFloodTickUs = 1000;
// Bits per character on the line for --pace: start, 8 data, stop.
constexpr std::int64_t kBitsPerChar = 10;

std::size_t queue_free(const EchoQueue& queue) {
  return kQueueBytes - queue.count;
}

void queue_push(EchoQueue& queue, std::uint8_t byte, std::int64_t due_us) {
  // Callers only read as much as the free space allows, so this never overflows.
  if (queue.count == kQueueBytes) {
    return;
  }
  queue.ring[(queue.head + queue.count) & (kQueueBytes - 1)] = {due_us, byte};
  ++queue.count;
}

// The queue whose head leaves first, or nullptr when both are empty.
const EchoQueue* next_queue(const Simulator& sim) {
  const EchoQueue& main_queue = sim.queue;
  const EchoQueue& late_queue = sim.late_queue;
  if (main_queue.count == 0) {
    return late_queue.count > 0 ? &late_queue : nullptr;
  }
  if (late_queue.count == 0) {
    return &main_queue;
  }
  return late_queue.ring[late_queue.head].due_us < main_queue.ring[main_queue.head].due_us
             ? &late_queue
             : &main_queue;
}

std::int64_t char_time_us(const Simulator& sim) {
  return (kBitsPerChar * 1000000 + sim.options.pace_baud - 1) / sim.options.pace_baud;
}

// Writes bytes to the master. Returns how many it took; 0 when it is full or failed.
std::size_t send_bytes(Simulator& sim, const std::uint8_t* bytes, std::size_t size) {
  for (;;) {
    const ssize_t sent = write(sim.master_fd, bytes, size);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      return 0;
    }
    if (sim.options.pace_baud != 0) {
      sim.next_send_us = now_us() + char_time_us(sim) * sent;
    }
    return static_cast<std::size_t>(sent);
  }
}

}  // namespace

std::size_t echo_room(const Simulator& sim) {
  const std::size_t main_room = queue_free(sim.queue);
  const std::size_t late_room = queue_free(sim.late_queue);
  return main_room < late_room ? main_room : late_room;
}

void echo_byte(Simulator& sim, std::uint8_t byte, std::int64_t arrival_us, bool late_line) {
  if (sim.options.silent) {
    return;
  }
  const bool late = sim.options.late_line == 0 || late_line;
  EchoQueue& queue = sim.options.late_line != 0 && late_line ? sim.late_queue : sim.queue;
  const std::int64_t due =
      arrival_us + (late ? static_cast<std::int64_t>(sim.options.late_ms) * 1000 : 0);
  if (sim.options.noise) {
    queue_push(queue, kNoiseCycle[sim.noise_index], due);
    sim.noise_index = (sim.noise_index + 1) % kNoiseCycle.size();
  }
  queue_push(queue, byte, due);
}

bool send_due(Simulator& sim, std::int64_t now) {
  for (;;) {
    const EchoQueue* first = next_queue(sim);
    if (first == nullptr || first->ring[first->head].due_us > now ||
        (sim.options.pace_baud != 0 && now < sim.next_send_us)) {
      return false;
    }
    EchoQueue& queue = first == &sim.late_queue ? sim.late_queue : sim.queue;
    // Stop the chunk where the other queue's head is due, so the two leave in time order.
    const EchoQueue& other = &queue == &sim.queue ? sim.late_queue : sim.queue;
    const std::int64_t limit = other.count > 0 && other.ring[other.head].due_us < now
                                   ? other.ring[other.head].due_us
                                   : now;
    const std::size_t most = sim.options.pace_baud != 0 ? 1 : 256;
    std::array<std::uint8_t, 256> chunk{};
    std::size_t size = 0;
    while (size < queue.count && size < most) {
      const QueuedByte& item = queue.ring[(queue.head + size) & (kQueueBytes - 1)];
      if (item.due_us > limit) {
        break;
      }
      chunk[size++] = item.byte;
    }
    const std::size_t sent = send_bytes(sim, chunk.data(), size);
    if (sent == 0) {
      return true;
    }
    queue.head = (queue.head + sent) & (kQueueBytes - 1);
    queue.count -= sent;
    if (sim.options.pace_baud != 0) {
      now = now_us();
    }
  }
}

bool flood(Simulator& sim, std::int64_t now) {
  if (!sim.options.flood || !client_present(sim)) {
    return false;
  }
  std::size_t want = 1;
  if (sim.options.pace_baud != 0) {
    const EchoQueue* queue = next_queue(sim);
    if (now < sim.next_send_us || (queue != nullptr && queue->ring[queue->head].due_us <= now)) {
      return false;
    }
  } else {
    if (now < sim.next_flood_us) {
      return false;
    }
    sim.next_flood_us = now + kFloodTickUs;
    want = kFloodChunk;
  }
  std::array<std::uint8_t, kFloodChunk> junk{};
  for (std::size_t i = 0; i < want; ++i) {
    junk[i] = kNoiseCycle[(sim.flood_index + i) % kNoiseCycle.size()];
  }
  const std::size_t sent = send_bytes(sim, junk.data(), want);
  sim.flood_index = (sim.flood_index + sent) % kNoiseCycle.size();
  // With --pace the time for the next byte has already come, so retrying on a timer would
  // spin; the caller waits for the master to have room instead.
  return sent == 0;
}

std::int64_t next_wake_us(const Simulator& sim, bool blocked) {
  std::int64_t wake = -1;
  const EchoQueue* queue = next_queue(sim);
  if (!blocked && queue != nullptr) {
    wake = queue->ring[queue->head].due_us;
    if (sim.options.pace_baud != 0 && wake < sim.next_send_us) {
      wake = sim.next_send_us;
    }
  }
  if (!blocked && sim.options.flood && client_present(sim)) {
    const std::int64_t top_up = sim.options.pace_baud != 0 ? sim.next_send_us : sim.next_flood_us;
    if (wake < 0 || top_up < wake) {
      wake = top_up;
    }
  }
  return wake;
}
