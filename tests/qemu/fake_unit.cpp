#include "fake_unit.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <deque>

#include "guest.h"

namespace qemu {

namespace {

struct Pending {
  long long due_us;
  char byte;
};

long long now_us() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void serve(FakeUnit& unit) {
  std::deque<Pending> echo;
  long long next_due_us = 0;
  const std::string junk = "#noise on the line, never a full stop#";
  std::size_t junk_at = 0;
  while (!unit.stop) {
    const UnitMode mode = unit.mode;
    pollfd p{unit.fd, POLLIN, 0};
    long long wait_us = 20000;
    if (mode == UnitMode::kFlood) {
      p.events |= POLLOUT;
    } else if (!echo.empty()) {
      const long long left = echo.front().due_us - now_us();
      if (left <= 0) {
        p.events |= POLLOUT;
      } else {
        wait_us = left;
      }
    }
    // To the microsecond: a paced byte that leaves a millisecond late is 10% of a character
    // at 9600 bit/s.
    const timespec wait{static_cast<time_t>(wait_us / 1000000),
                        static_cast<long>(wait_us % 1000000) * 1000};
    if (ppoll(&p, 1, &wait, nullptr) < 0 && errno != EINTR) {
      return;
    }
    if ((p.revents & POLLIN) != 0) {
      std::array<char, 4096> buffer{};
      const ssize_t n = read(unit.fd, buffer.data(), buffer.size());
      if (n <= 0) {
        return;
      }
      // QEMU traces a control write before it moves the next byte, so the trace read now
      // holds the lines' state as these bytes went out.
      std::lock_guard<std::mutex> hold(unit.lock);
      sync_trace(unit.trace);
      unit.received.append(buffer.data(), static_cast<std::size_t>(n));
      if (unit.trace.state.dtr || unit.trace.state.rts) {
        unit.received_while_up += static_cast<unsigned>(n);
      }
      const std::uint32_t baud = unit.pace_baud;
      for (ssize_t i = 0; i < n && mode == UnitMode::kEcho; ++i) {
        // Paced, each byte leaves one character time (10 bits) after the one before.
        const long long now = now_us();
        long long due = now;
        if (baud > 0) {
          next_due_us = std::max(next_due_us, now) + 10000000LL / baud;
          due = next_due_us;
        }
        echo.push_back({due, buffer[static_cast<std::size_t>(i)]});
      }
    }
    if ((p.revents & POLLOUT) != 0) {
      if (mode == UnitMode::kFlood) {
        const ssize_t n = write(unit.fd, junk.data() + junk_at, junk.size() - junk_at);
        if (n > 0) {
          junk_at = (junk_at + static_cast<std::size_t>(n)) % junk.size();
        }
      } else {
        std::string out;
        while (!echo.empty() && echo.front().due_us <= now_us()) {
          out.push_back(echo.front().byte);
          echo.pop_front();
        }
        if (!out.empty() && write(unit.fd, out.data(), out.size()) < 0 && errno != EAGAIN) {
          return;
        }
      }
    }
    if (mode == UnitMode::kSilent) {
      echo.clear();
    }
  }
}

}  // namespace

bool start_unit(FakeUnit& unit, const std::string& socket_path, PortKind kind,
                const std::string& trace_path) {
  unit.fd = connect_socket(socket_path, 30);
  if (unit.fd < 0) {
    return true;
  }
  fcntl(unit.fd, F_SETFL, fcntl(unit.fd, F_GETFL) | O_NONBLOCK);
  unit.trace.kind = kind;
  unit.trace.path = trace_path;
  unit.worker = std::thread(serve, std::ref(unit));
  return false;
}

void reset_unit(FakeUnit& unit, UnitMode mode, std::uint32_t pace_baud) {
  unit.mode = mode;
  unit.pace_baud = pace_baud;
  std::lock_guard<std::mutex> hold(unit.lock);
  sync_trace(unit.trace);
  unit.received.clear();
  unit.received_while_up = 0;
}

std::string unit_received(FakeUnit& unit) {
  std::lock_guard<std::mutex> hold(unit.lock);
  return unit.received;
}

unsigned unit_bytes_while_up(FakeUnit& unit) {
  std::lock_guard<std::mutex> hold(unit.lock);
  return unit.received_while_up;
}

LineState unit_lines(FakeUnit& unit) {
  std::lock_guard<std::mutex> hold(unit.lock);
  sync_trace(unit.trace);
  return unit.trace.state;
}

void stop_unit(FakeUnit& unit) {
  unit.stop = true;
  if (unit.worker.joinable()) {
    unit.worker.join();
  }
  if (unit.fd >= 0) {
    close(unit.fd);
    unit.fd = -1;
  }
}

}  // namespace qemu
