// quorvel-sim: a stand-in for a Quorvel unit on a pseudo-terminal, so the setup tool can be run
// and tested without hardware. It echoes what it receives, executes the N:V command lines the
// way the unit does, logs every line with the unit's state on stdout, and can misbehave on
// purpose (silent, noisy, flooding, dropping lines, late echo, slow line, hanging up).
//
// Usage: quorvel-sim [--link PATH] [--wire FILE] [--silent] [--noise] [--flood] [--drop N]
//                    [--late MS] [--late-line N] [--pace BAUD|line] [--hangup N]
// stdout line 1 is the path to open; each later line is one executed line, the line's settings
// ("port: ...") whenever bytes arrive under settings other than the last logged or a client
// closes the port, or the final state. The line starts as the kernel makes it, as a freshly
// plugged port does.
//
// This file is the unit's life: bytes from the line into the model, echoes and log lines out.
// The model is unit_model.h; the other parts are sim_options.h, echo.h, pty_link.h, wire_log.h.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "echo.h"
#include "pty_link.h"
#include "sim_options.h"
#include "simulator.h"
#include "unit_model.h"
#include "wire_log.h"

namespace {

constexpr std::size_t kReadChunk = 4096;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

std::array<int, 2> g_signal_pipe = {-1, -1};

void on_signal(int signal_number) {
  const int saved_errno = errno;
  const unsigned char code = static_cast<unsigned char>(signal_number);
  // Nothing to do when the pipe is full: one pending byte is enough to stop the loop.
  ssize_t ignored = write(g_signal_pipe[1], &code, 1);
  (void)ignored;
  errno = saved_errno;
}

void finish_line(Simulator& sim, std::int64_t arrival_us) {
  if (!sim.line.dropped) {
    echo_byte(sim, kCarriageReturn, arrival_us, sim.line.late);
  }
  // The echo leaves before the log line, as it would from a unit that answers at once.
  send_due(sim, now_us());
  const LineResult result =
      sim.line.dropped ? LineResult{Verdict::kDropped, nullptr} : execute_line(sim.unit, sim.line);
  log_line(sim, result);
  sim.line = LineBuffer{};
}

void receive_byte(Simulator& sim, std::uint8_t byte, std::int64_t arrival_us) {
  LineBuffer& line = sim.line;
  if (byte == kCarriageReturn) {
    if (line.started) {
      finish_line(sim, arrival_us);
    } else {
      echo_byte(sim, byte, arrival_us, false);  // an empty line: echoed, nothing to execute
    }
    return;
  }
  if (!line.started) {
    ++sim.nonempty_lines;
    line.dropped = sim.options.drop_every != 0 && sim.nonempty_lines % sim.options.drop_every == 0;
    line.late = sim.nonempty_lines == sim.options.late_line;
  }
  if (!line.dropped) {
    echo_byte(sim, byte, arrival_us, line.late);
  }
  add_to_line(line, byte);
}

// Returns true (failure) after reporting on stderr.
bool install_signals() {
  if (pipe2(g_signal_pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "quorvel-sim: cannot create a pipe: %s\n", std::strerror(errno));
    return true;
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    sigaction(signal_number, &action, nullptr);
  }
  // A reader of stdout that went away must not kill the unit; the lost log lines are harmless.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  return false;
}

// Reads what the tool sent and handles it byte by byte. Returns true when the unit must stop:
// the --hangup count was reached or the master failed.
bool receive_from_master(Simulator& sim) {
  // Each received byte can queue two (junk and echo), so take no more than a queue can hold.
  std::size_t want = echo_room(sim) / 2;
  if (want > kReadChunk) {
    want = kReadChunk;
  }
  if (sim.options.hangup_after != 0 && sim.options.hangup_after - sim.received < want) {
    want = static_cast<std::size_t>(sim.options.hangup_after - sim.received);
  }
  std::array<std::uint8_t, kReadChunk> bytes{};
  const ssize_t got = read(sim.master_fd, bytes.data(), want);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
    return false;
  }
  if (got < 0 && errno == EIO) {
    master_hung_up(sim);  // the last client has gone; the next one opens the slave again
    return false;
  }
  if (got <= 0) {
    std::fprintf(stderr, "quorvel-sim: line lost: %s\n",
                 got < 0 ? std::strerror(errno) : "end of file");
    return true;
  }
  const std::int64_t arrival = now_us();
  log_port_settings(sim);
  if (sim.options.pace_line) {
    // The echo of these bytes leaves at the rate the client has set by now, as a real line's.
    sim.options.pace_baud = line_rate(sim);
  }
  record_wire(sim, bytes.data(), static_cast<std::size_t>(got));
  for (ssize_t i = 0; i < got; ++i) {
    ++sim.received;
    receive_byte(sim, bytes[static_cast<std::size_t>(i)], arrival);
  }
  return sim.options.hangup_after != 0 && sim.received >= sim.options.hangup_after;
}

// The unit's life: one poll over the signal pipe, the master and the client notifications, with
// a timeout only while something of its own is waiting for its time.
void run_unit(Simulator& sim) {
  for (;;) {
    std::int64_t now = now_us();
    // Blocked: the master is full, and only its room to write (POLLOUT) or the tool's bytes
    // can give the unit something to do.
    bool blocked = send_due(sim, now);
    if (!blocked) {
      blocked = flood(sim, now);
    }
    now = now_us();
    const std::int64_t wake = next_wake_us(sim, blocked);
    timespec timeout{};
    if (wake > now) {
      timeout.tv_sec = static_cast<time_t>((wake - now) / 1000000);
      timeout.tv_nsec = static_cast<long>((wake - now) % 1000000) * 1000;
    }
    std::array<pollfd, 3> fds{};
    fds[0] = {g_signal_pipe[0], POLLIN, 0};
    short master_events = 0;
    if (echo_room(sim) >= 2) {
      master_events |= POLLIN;
    }
    if (blocked) {
      master_events |= POLLOUT;
    }
    // With no client the master reports a hang-up at every look; only a client's open, which
    // the watch tells, gives the unit something to do.
    fds[1] = {client_present(sim) ? sim.master_fd : -1, master_events, 0};
    fds[2] = {sim.notify_fd, POLLIN, 0};  // a negative descriptor is left out of the poll
    const int ready = ppoll(fds.data(), fds.size(), wake < 0 ? nullptr : &timeout, nullptr);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "quorvel-sim: poll failed: %s\n", std::strerror(errno));
      return;
    }
    if (ready <= 0) {
      continue;
    }
    if (fds[0].revents != 0) {
      return;
    }
    if ((fds[2].revents & POLLIN) != 0) {
      read_notifications(sim);
    }
    if ((fds[1].revents & POLLIN) != 0) {
      if (receive_from_master(sim)) {
        send_due(sim, now_us());  // what was due still leaves before the line goes down
        return;
      }
    } else if ((fds[1].revents & POLLHUP) != 0) {
      master_hung_up(sim);
    } else if ((fds[1].revents & (POLLERR | POLLNVAL)) != 0) {
      std::fprintf(stderr, "quorvel-sim: line lost\n");
      return;
    }
  }
}

}  // namespace

std::int64_t now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int main(int argc, char** argv) {
  Simulator sim;
  if (parse_arguments(argc, argv, sim.options)) {
    return kExitUsage;
  }
  if (install_signals() || open_pseudo_terminal(sim)) {
    close_line(sim);
    return kExitFailure;
  }
  if (sim.options.wire_path != nullptr) {
    sim.wire_fd =
        open(sim.options.wire_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    if (sim.wire_fd < 0) {
      std::fprintf(stderr, "quorvel-sim: cannot open %s: %s\n", sim.options.wire_path,
                   std::strerror(errno));
      close_line(sim);
      return kExitFailure;
    }
  }
  if (sim.options.link_path != nullptr && make_link(sim)) {
    close_line(sim);
    if (sim.wire_fd >= 0) {
      close(sim.wire_fd);
    }
    return kExitFailure;
  }
  emit_line(sim.options.link_path != nullptr ? sim.options.link_path : sim.slave_name.data());

  run_unit(sim);

  // Closing the master is what the tool sees as the hang-up.
  close_line(sim);
  remove_link(sim);
  log_final(sim);
  if (sim.wire_fd >= 0) {
    close(sim.wire_fd);
  }
  return 0;
}
