// Bytes in and out of the POSIX serial port, on a descriptor that never blocks, and what a
// failed transfer tells of the line.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>

#include "link/clock/clock.h"
#include "link/port/port_posix.h"
#include "link/port/serial_link.h"

namespace {

// Set while reads fail with a real error (a hang-up, an unplugged adapter): such a descriptor
// reports itself ready for ever, so the next wait sleeps instead of polling it.
bool g_read_failing = false;
// Set when the line is gone for good (hung up, an adapter pulled): the next attempt closes the
// dead descriptor, which would otherwise keep the device's name from the adapter when it is
// plugged back, and opens the port again by name.
bool g_line_gone = false;

}  // namespace

bool gone_error(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

bool line_gone() {
  return g_line_gone;
}

void note_line_gone() {
  g_line_gone = true;
}

void reset_line_state() {
  g_read_failing = false;
  g_line_gone = false;
}

void write_byte(PortHandle port, std::uint32_t pause, std::uint8_t byte) {
  // A full output queue on a non-blocking descriptor says EAGAIN: wait for room a bounded
  // number of times, so a stuck line cannot hold the program for ever.
  constexpr int kRoomWaits = 5;
  constexpr int kRoomWaitMs = 1000;
  for (int room_waits = 0; room_waits < kRoomWaits;) {
    const ssize_t written = write(port, &byte, 1);
    if (written == 1) {
      break;
    }
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0 && errno != EAGAIN) {
      g_line_gone = g_line_gone || gone_error(errno);
      break;  // a hung-up or broken line: the echo wait will tell
    }
    ++room_waits;
    pollfd pfd{port, POLLOUT, 0};
    if (poll(&pfd, 1, kRoomWaitMs) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      sleep_ms(kRoomWaitMs);  // says ready but is not: do not spin on it
    }
  }
  pause_ms(pause);
}

bool read_byte(PortHandle port, std::uint8_t& byte_out) {
  std::uint8_t byte = 0;
  const ssize_t got = read(port, &byte, 1);
  if (got == 1) {
    g_read_failing = false;
    byte_out = byte;
    return false;
  }
  g_read_failing = got < 0 && errno != EAGAIN && errno != EINTR;
  g_line_gone = g_line_gone || (got < 0 && gone_error(errno));
  return true;
}

void wait_for_byte(PortHandle port, std::uint32_t timeout_ms) {
  if (!g_read_failing) {
    pollfd pfd{port, POLLIN, 0};
    // poll takes an int; a minute is far more than any echo wait asks for.
    const int timeout = timeout_ms > 60000U ? 60000 : static_cast<int>(timeout_ms);
    const int ready = poll(&pfd, 1, timeout);
    if (ready <= 0 || (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
      return;  // a byte, the time-out, or a signal
    }
    g_line_gone = g_line_gone || (pfd.revents & (POLLHUP | POLLERR)) != 0;
  }
  sleep_ms(timeout_ms);
}
