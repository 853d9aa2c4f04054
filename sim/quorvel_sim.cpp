// quorvel-sim: a stand-in for a Quorvel unit on a pseudo-terminal, so the setup tool can be run
// and tested without hardware. It echoes what it receives, executes the N:V command lines the
// way the unit does, logs every line with the unit's state on stdout, and can misbehave on
// purpose (silent, noisy, flooding, dropping lines, late echo, slow line, hanging up).
//
// Usage: quorvel-sim [--link PATH] [--wire FILE] [--silent] [--noise] [--flood] [--drop N]
//                    [--late MS] [--late-line N] [--pace BAUD] [--hangup N]
// stdout line 1 is the path to open; each later line is one executed line or the final state.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint8_t kCarriageReturn = 13;
constexpr std::size_t kMaxLineBytes = 32;
constexpr std::size_t kPathBytes = 4096;
// Echo bytes waiting to leave; a power of two so the ring index wraps with a mask.
constexpr std::size_t kQueueBytes = 16384;
constexpr std::size_t kReadChunk = 4096;
// Junk sent in --noise and --flood mode: none of these can occur in a command line.
constexpr std::array<std::uint8_t, 5> kNoiseCycle = {'#', '\n', 0xFF, '?', 'x'};
// --flood keeps this many junk bytes waiting for the client and tops them up every tick: more
// than a reader taking one byte per read can drain in a tick, few enough that an echo queued
// behind them still arrives well within a second.
constexpr int kFloodBacklog = 4000;
constexpr std::int64_t kFloodTickUs = 1000;
// Bits per character on the line for --pace: start, 8 data, stop.
constexpr std::int64_t kBitsPerChar = 10;
// Decimal fields saturate here: far beyond every register, and no overflow on long digit runs.
constexpr std::uint32_t kDecimalCap = 1000000000u;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

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
  std::uint64_t hangup_after = 0;  // 0: never hang up
};

// The unit's registers as last loaded; the simulation does not advance the clock.
struct UnitState {
  std::uint32_t second = 0;
  std::uint32_t minute = 0;
  std::uint32_t hour = 0;
  std::uint32_t year = 0;  // years since 2000
  std::uint32_t month = 1;
  std::uint32_t day = 1;
  bool running = true;
  bool locked = true;
  std::array<std::uint32_t, 3> out1{};  // minimum, maximum, pulse
  std::array<std::uint32_t, 4> out2{};  // minimum, maximum, pulse, wait
};

// The line being received: its first kMaxLineBytes bytes and what has been decided about it.
struct LineBuffer {
  std::array<std::uint8_t, kMaxLineBytes> text{};
  std::size_t length = 0;
  bool started = false;   // a byte other than CR has arrived since the last CR
  bool overlong = false;  // more than kMaxLineBytes bytes before the CR
  bool dropped = false;   // this line is one that --drop swallows
  bool late = false;      // this line is the one --late-line delays
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
  int slave_fd = -1;
  int wire_fd = -1;
  int notify_fd = -1;  // opens and closes of the slave by clients; -1 when not available
  int clients = 0;     // open descriptions of the slave besides the simulator's own
  bool wire_failed = false;
  bool link_made = false;
  std::array<char, kPathBytes> slave_name{};
  std::uint64_t received = 0;
  std::uint64_t nonempty_lines = 0;
  std::size_t noise_index = 0;
  std::size_t flood_index = 0;
  std::int64_t next_send_us = 0;  // with --pace: the earliest the next byte may leave
};

enum class Verdict { kApplied, kRefused, kIgnoredLocked, kDropped };

struct LineResult {
  Verdict verdict;
  const char* reason;  // for kRefused only
};

std::array<int, 2> g_signal_pipe = {-1, -1};

void on_signal(int signal_number) {
  const int saved_errno = errno;
  const unsigned char code = static_cast<unsigned char>(signal_number);
  // Nothing to do when the pipe is full: one pending byte is enough to stop the loop.
  ssize_t ignored = write(g_signal_pipe[1], &code, 1);
  (void)ignored;
  errno = saved_errno;
}

std::int64_t now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Writes one finished text line to stdout and flushes it, so a reader sees it at once.
void emit_line(const char* text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void print_usage() {
  std::fputs(
      "usage: quorvel-sim [--link PATH] [--wire FILE] [--silent] [--noise] [--flood] [--drop N]"
      " [--late MS] [--late-line N] [--pace BAUD] [--hangup N]\n",
      stderr);
}

// Parses a whole argument as an unsigned decimal in [min_value, max_value].
// Returns true (failure) for anything else.
bool parse_count(const char* text, std::uint64_t min_value, std::uint64_t max_value,
                 std::uint64_t& value_out) {
  if (text == nullptr || text[0] == '\0') {
    return true;
  }
  std::uint64_t value = 0;
  for (std::size_t i = 0; text[i] != '\0'; ++i) {
    if (text[i] < '0' || text[i] > '9' || i >= 12) {
      return true;
    }
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (value < min_value || value > max_value) {
    return true;
  }
  value_out = value;
  return false;
}

// Fills options from argv. Returns true (failure) after printing why and the usage on stderr.
bool parse_arguments(int argc, char** argv, SimOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool has_value = i + 1 < argc;
    std::uint64_t number = 0;
    if (std::strcmp(arg, "--silent") == 0) {
      options.silent = true;
    } else if (std::strcmp(arg, "--noise") == 0) {
      options.noise = true;
    } else if (std::strcmp(arg, "--flood") == 0) {
      options.flood = true;
    } else if (std::strcmp(arg, "--link") == 0 && has_value && argv[i + 1][0] != '\0') {
      options.link_path = argv[++i];
    } else if (std::strcmp(arg, "--wire") == 0 && has_value && argv[i + 1][0] != '\0') {
      options.wire_path = argv[++i];
    } else if (std::strcmp(arg, "--drop") == 0 && has_value &&
               !parse_count(argv[i + 1], 1, 1000000000, number)) {
      options.drop_every = static_cast<std::uint32_t>(number);
      ++i;
    } else if (std::strcmp(arg, "--late") == 0 && has_value &&
               !parse_count(argv[i + 1], 0, 3600000, number)) {
      options.late_ms = static_cast<std::uint32_t>(number);
      ++i;
    } else if (std::strcmp(arg, "--late-line") == 0 && has_value &&
               !parse_count(argv[i + 1], 1, 1000000000000ull, number)) {
      options.late_line = number;
      ++i;
    } else if (std::strcmp(arg, "--pace") == 0 && has_value &&
               !parse_count(argv[i + 1], 1, 100000000, number)) {
      options.pace_baud = static_cast<std::uint32_t>(number);
      ++i;
    } else if (std::strcmp(arg, "--hangup") == 0 && has_value &&
               !parse_count(argv[i + 1], 1, 1000000000000ull, number)) {
      options.hangup_after = number;
      ++i;
    } else {
      std::fprintf(stderr, "quorvel-sim: bad or incomplete argument: %s\n", arg);
      print_usage();
      return true;
    }
  }
  return false;
}

// Formats the state text into out.
void format_state(const UnitState& unit, char* out, std::size_t size) {
  std::snprintf(
      out, size, "clock %02u:%02u:%02u date %u\\%u\\%u %s %s out1 %u,%u,%u out2 %u,%u,%u,%u",
      unit.hour, unit.minute, unit.second, unit.day, unit.month, 2000u + unit.year,
      unit.running ? "running" : "stopped", unit.locked ? "locked" : "unlocked", unit.out1[0],
      unit.out1[1], unit.out1[2], unit.out2[0], unit.out2[1], unit.out2[2], unit.out2[3]);
}

// Shows line bytes for the log: printable ASCII as is, everything else (and the quote and
// backslash, which would make the text ambiguous) as \xNN.
void format_line_text(const LineBuffer& line, char* out, std::size_t size) {
  std::size_t used = 0;
  out[0] = '\0';
  for (std::size_t i = 0; i < line.length && used + 5 <= size; ++i) {
    const std::uint8_t byte = line.text[i];
    const bool plain = byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\';
    const int written = plain ? std::snprintf(out + used, size - used, "%c", byte)
                              : std::snprintf(out + used, size - used, "\\x%02X", byte);
    if (written < 0) {
      break;
    }
    used += static_cast<std::size_t>(written);
  }
}

// Reads a decimal field of line from pos up to (not including) end. Digits only, no leading
// zero unless the field is "0"; large values saturate at kDecimalCap.
// Returns true (failure) when the field is not such a number.
bool parse_field(const LineBuffer& line, std::size_t pos, std::size_t end,
                 std::uint32_t& value_out) {
  if (pos >= end || (line.text[pos] == '0' && end - pos > 1)) {
    return true;
  }
  std::uint64_t value = 0;
  for (std::size_t i = pos; i < end; ++i) {
    const std::uint8_t byte = line.text[i];
    if (byte < '0' || byte > '9') {
      return true;
    }
    value = value * 10 + static_cast<std::uint64_t>(byte - '0');
    if (value > kDecimalCap) {
      value = kDecimalCap;
    }
  }
  value_out = static_cast<std::uint32_t>(value);
  return false;
}

// Gives the accepted value range of a command number. Returns true (failure) for an unknown one.
bool command_range(std::uint32_t number, std::uint32_t& low, std::uint32_t& high) {
  low = 0;
  switch (number) {
    case 958:
      high = 1;
      return false;
    case 1:
    case 2:
      high = 59;
      return false;
    case 3:
      high = 23;
      return false;
    case 5:
      low = 1;
      high = 12;
      return false;
    case 6:
      high = 31;
      return false;
    case 4:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
      high = 255;
      return false;
    default:
      return true;
  }
}

// Loads a checked value into the register of a known command number.
void apply_command(UnitState& unit, std::uint32_t number, std::uint32_t value) {
  switch (number) {
    case 958:
      unit.locked = value == 0;
      break;
    case 1:
      unit.second = value;
      break;
    case 2:
      unit.minute = value;
      break;
    case 3:
      unit.hour = value;
      break;
    case 4:
      unit.year = value;
      break;
    case 5:
      unit.month = value;
      break;
    case 6:
      // Day 0 is the unit's way to stop the clock; a real day restarts it from the loaded time.
      if (value == 0) {
        unit.running = false;
      } else {
        unit.day = value;
        unit.running = true;
      }
      break;
    case 7:
    case 8:
    case 9:
      unit.out1[number - 7] = value;
      break;
    default:
      unit.out2[number - 10] = value;
      break;
  }
}

// Executes one complete, non-empty line on the unit. A malformed line is refused even while
// the settings are locked; only well-formed commands other than 958 meet the lock.
LineResult execute_line(UnitState& unit, const LineBuffer& line) {
  if (line.overlong) {
    return {Verdict::kRefused, "too long"};
  }
  std::size_t colon = 0;
  while (colon < line.length && line.text[colon] != ':') {
    ++colon;
  }
  std::uint32_t number = 0;
  std::uint32_t value = 0;
  if (colon == line.length || parse_field(line, 0, colon, number) ||
      parse_field(line, colon + 1, line.length, value)) {
    return {Verdict::kRefused, "not N:V"};
  }
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  if (command_range(number, low, high)) {
    return {Verdict::kRefused, "unknown command"};
  }
  if (value < low || value > high) {
    return {Verdict::kRefused, "out of range"};
  }
  if (number != 958 && unit.locked) {
    return {Verdict::kIgnoredLocked, nullptr};
  }
  apply_command(unit, number, value);
  return {Verdict::kApplied, nullptr};
}

void log_line(const Simulator& sim, const LineResult& result) {
  std::array<char, kMaxLineBytes * 4 + 1> text{};
  std::array<char, 160> state{};
  std::array<char, 64> verdict{};
  std::array<char, 400> out{};
  format_line_text(sim.line, text.data(), text.size());
  format_state(sim.unit, state.data(), state.size());
  switch (result.verdict) {
    case Verdict::kApplied:
      std::snprintf(verdict.data(), verdict.size(), "applied");
      break;
    case Verdict::kRefused:
      std::snprintf(verdict.data(), verdict.size(), "refused (%s)", result.reason);
      break;
    case Verdict::kIgnoredLocked:
      std::snprintf(verdict.data(), verdict.size(), "ignored (locked)");
      break;
    case Verdict::kDropped:
      std::snprintf(verdict.data(), verdict.size(), "dropped");
      break;
  }
  std::snprintf(out.data(), out.size(), "line \"%s\" %s: %s", text.data(), verdict.data(),
                state.data());
  emit_line(out.data());
}

void log_final(const Simulator& sim) {
  std::array<char, 160> state{};
  std::array<char, 200> out{};
  format_state(sim.unit, state.data(), state.size());
  std::snprintf(out.data(), out.size(), "final: %s", state.data());
  emit_line(out.data());
}

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
EchoQueue* next_queue(Simulator& sim) {
  EchoQueue& main_queue = sim.queue;
  EchoQueue& late_queue = sim.late_queue;
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

// Sends every queued byte whose time has come, as far as the master accepts them and --pace
// allows. Returns true when a due byte is still waiting because the master is full.
bool send_due(Simulator& sim, std::int64_t now) {
  for (;;) {
    EchoQueue* queue = next_queue(sim);
    if (queue == nullptr || queue->ring[queue->head].due_us > now ||
        (sim.options.pace_baud != 0 && now < sim.next_send_us)) {
      return false;
    }
    // Stop the chunk where the other queue's head is due, so the two leave in time order.
    const EchoQueue& other = queue == &sim.queue ? sim.late_queue : sim.queue;
    const std::int64_t limit = other.count > 0 && other.ring[other.head].due_us < now
                                   ? other.ring[other.head].due_us
                                   : now;
    const std::size_t most = sim.options.pace_baud != 0 ? 1 : 256;
    std::array<std::uint8_t, 256> chunk{};
    std::size_t size = 0;
    while (size < queue->count && size < most) {
      const QueuedByte& item = queue->ring[(queue->head + size) & (kQueueBytes - 1)];
      if (item.due_us > limit) {
        break;
      }
      chunk[size++] = item.byte;
    }
    const std::size_t sent = send_bytes(sim, chunk.data(), size);
    if (sent == 0) {
      return true;
    }
    queue->head = (queue->head + sent) & (kQueueBytes - 1);
    queue->count -= sent;
    if (sim.options.pace_baud != 0) {
      now = now_us();
    }
  }
}

bool client_present(const Simulator& sim) {
  return sim.notify_fd < 0 || sim.clients > 0;
}

// --flood: keeps junk waiting for the client so that its reads never find the line quiet.
// Echo bytes that are due go first; with --pace the junk fills the gaps between them.
void flood(Simulator& sim, std::int64_t now) {
  if (!sim.options.flood || !client_present(sim)) {
    return;
  }
  std::size_t want = 1;
  if (sim.options.pace_baud != 0) {
    const EchoQueue* queue = next_queue(sim);
    if (now < sim.next_send_us || (queue != nullptr && queue->ring[queue->head].due_us <= now)) {
      return;
    }
  } else {
    int waiting = 0;
    if (ioctl(sim.slave_fd, TIOCINQ, &waiting) != 0 || waiting >= kFloodBacklog) {
      return;
    }
    want = static_cast<std::size_t>(kFloodBacklog - waiting);
  }
  std::array<std::uint8_t, kFloodBacklog> junk{};
  for (std::size_t i = 0; i < want; ++i) {
    junk[i] = kNoiseCycle[(sim.flood_index + i) % kNoiseCycle.size()];
  }
  const std::size_t sent = send_bytes(sim, junk.data(), want);
  sim.flood_index = (sim.flood_index + sent) % kNoiseCycle.size();
}

// Queues the echo of one received byte, led by a junk byte in --noise mode. Only the line that
// --late-line names waits --late ms when that is given; otherwise every byte does.
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
    line.started = true;
    ++sim.nonempty_lines;
    line.dropped = sim.options.drop_every != 0 && sim.nonempty_lines % sim.options.drop_every == 0;
    line.late = sim.nonempty_lines == sim.options.late_line;
  }
  if (!line.dropped) {
    echo_byte(sim, byte, arrival_us, line.late);
  }
  if (line.length < kMaxLineBytes) {
    line.text[line.length++] = byte;
  } else {
    line.overlong = true;
  }
}

// Appends raw received bytes to the --wire file. A failing file is reported once and then left
// alone, so the unit keeps working.
void record_wire(Simulator& sim, const std::uint8_t* bytes, std::size_t size) {
  if (sim.wire_fd < 0 || sim.wire_failed) {
    return;
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t written = write(sim.wire_fd, bytes + done, size - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      std::fprintf(stderr, "quorvel-sim: cannot write %s: %s\n", sim.options.wire_path,
                   std::strerror(errno));
      sim.wire_failed = true;
      return;
    }
    done += static_cast<std::size_t>(written);
  }
}

// Creates the pseudo-terminal, opens and keeps its slave, and sets the slave raw so that the
// line discipline neither echoes nor translates anything before the tool configures it.
// Returns true (failure) after reporting on stderr.
bool open_pseudo_terminal(Simulator& sim) {
  sim.master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (sim.master_fd < 0 || grantpt(sim.master_fd) != 0 || unlockpt(sim.master_fd) != 0 ||
      ptsname_r(sim.master_fd, sim.slave_name.data(), sim.slave_name.size()) != 0) {
    std::fprintf(stderr, "quorvel-sim: cannot create a pseudo-terminal: %s\n",
                 std::strerror(errno));
    return true;
  }
  sim.slave_fd = open(sim.slave_name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode{};
  if (sim.slave_fd < 0 || tcgetattr(sim.slave_fd, &mode) != 0) {
    std::fprintf(stderr, "quorvel-sim: cannot open %s: %s\n", sim.slave_name.data(),
                 std::strerror(errno));
    return true;
  }
  cfmakeraw(&mode);
  mode.c_cflag |= CLOCAL | CREAD;
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  cfsetispeed(&mode, B9600);
  cfsetospeed(&mode, B9600);
  const int flags = fcntl(sim.master_fd, F_GETFL);
  if (tcsetattr(sim.slave_fd, TCSANOW, &mode) != 0 || flags < 0 ||
      fcntl(sim.master_fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "quorvel-sim: cannot set up %s: %s\n", sim.slave_name.data(),
                 std::strerror(errno));
    return true;
  }
  // Without notifications every moment counts as one with a client.
  sim.notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (sim.notify_fd >= 0 &&
      inotify_add_watch(sim.notify_fd, sim.slave_name.data(), IN_OPEN | IN_CLOSE) < 0) {
    close(sim.notify_fd);
    sim.notify_fd = -1;
  }
  return false;
}

// Points link_path at the slave, replacing a symbolic link but nothing else.
// Returns true (failure) after reporting on stderr.
bool make_link(Simulator& sim) {
  const char* path = sim.options.link_path;
  struct stat info {};
  if (lstat(path, &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      std::fprintf(stderr, "quorvel-sim: %s exists and is not a symbolic link\n", path);
      return true;
    }
    if (unlink(path) != 0) {
      std::fprintf(stderr, "quorvel-sim: cannot remove %s: %s\n", path, std::strerror(errno));
      return true;
    }
  } else if (errno != ENOENT) {
    std::fprintf(stderr, "quorvel-sim: cannot check %s: %s\n", path, std::strerror(errno));
    return true;
  }
  if (symlink(sim.slave_name.data(), path) != 0) {
    std::fprintf(stderr, "quorvel-sim: cannot link %s: %s\n", path, std::strerror(errno));
    return true;
  }
  sim.link_made = true;
  return false;
}

// Removes the link made at start, unless something else has taken its place since.
void remove_link(Simulator& sim) {
  if (!sim.link_made) {
    return;
  }
  std::array<char, kPathBytes> target{};
  const ssize_t size = readlink(sim.options.link_path, target.data(), target.size() - 1);
  if (size > 0 && std::strcmp(target.data(), sim.slave_name.data()) == 0) {
    unlink(sim.options.link_path);
  }
  sim.link_made = false;
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
  std::size_t want = queue_free(sim.queue) < queue_free(sim.late_queue)
                         ? queue_free(sim.queue) / 2
                         : queue_free(sim.late_queue) / 2;
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
  if (got <= 0) {
    std::fprintf(stderr, "quorvel-sim: line lost: %s\n",
                 got < 0 ? std::strerror(errno) : "end of file");
    return true;
  }
  const std::int64_t arrival = now_us();
  record_wire(sim, bytes.data(), static_cast<std::size_t>(got));
  for (ssize_t i = 0; i < got; ++i) {
    ++sim.received;
    receive_byte(sim, bytes[static_cast<std::size_t>(i)], arrival);
  }
  return sim.options.hangup_after != 0 && sim.received >= sim.options.hangup_after;
}

// Counts the clients' opens and closes of the slave. The simulator's own descriptor was opened
// before the watch, so it is not among them.
void read_notifications(Simulator& sim) {
  alignas(inotify_event) std::array<char, 4096> events{};
  for (;;) {
    const ssize_t got = read(sim.notify_fd, events.data(), events.size());
    if (got <= 0) {
      return;
    }
    for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(got);) {
      inotify_event event{};
      std::memcpy(&event, events.data() + at, sizeof event);
      if ((event.mask & IN_OPEN) != 0) {
        ++sim.clients;
      }
      if ((event.mask & IN_CLOSE) != 0 && sim.clients > 0) {
        --sim.clients;
      }
      at += sizeof(inotify_event) + event.len;
    }
  }
}

// When the unit next has something to do on its own: a queued byte falls due, --pace lets the
// next one go, or --flood tops up. -1 for nothing.
std::int64_t next_wake_us(Simulator& sim, std::int64_t now, bool blocked) {
  std::int64_t wake = -1;
  const EchoQueue* queue = next_queue(sim);
  if (!blocked && queue != nullptr) {
    wake = queue->ring[queue->head].due_us;
    if (sim.options.pace_baud != 0 && wake < sim.next_send_us) {
      wake = sim.next_send_us;
    }
  }
  if (!blocked && sim.options.flood && client_present(sim)) {
    const std::int64_t top_up = sim.options.pace_baud != 0 ? sim.next_send_us : now + kFloodTickUs;
    if (wake < 0 || top_up < wake) {
      wake = top_up;
    }
  }
  return wake;
}

// The unit's life: one poll over the signal pipe, the master and the client notifications, with
// a timeout only while something of its own is waiting for its time.
void run_unit(Simulator& sim) {
  for (;;) {
    std::int64_t now = now_us();
    const bool blocked = send_due(sim, now);
    if (!blocked) {
      flood(sim, now);
    }
    now = now_us();
    const std::int64_t wake = next_wake_us(sim, now, blocked);
    timespec timeout{};
    if (wake > now) {
      timeout.tv_sec = static_cast<time_t>((wake - now) / 1000000);
      timeout.tv_nsec = static_cast<long>((wake - now) % 1000000) * 1000;
    }
    std::array<pollfd, 3> fds{};
    fds[0] = {g_signal_pipe[0], POLLIN, 0};
    short master_events = 0;
    if (queue_free(sim.queue) >= 2 && queue_free(sim.late_queue) >= 2) {
      master_events |= POLLIN;
    }
    if (blocked) {
      master_events |= POLLOUT;
    }
    fds[1] = {sim.master_fd, master_events, 0};
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
    } else if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      std::fprintf(stderr, "quorvel-sim: line lost\n");
      return;
    }
  }
}

void close_line(Simulator& sim) {
  if (sim.master_fd >= 0) {
    close(sim.master_fd);
    sim.master_fd = -1;
  }
  if (sim.slave_fd >= 0) {
    close(sim.slave_fd);
    sim.slave_fd = -1;
  }
  if (sim.notify_fd >= 0) {
    close(sim.notify_fd);
    sim.notify_fd = -1;
  }
}

}  // namespace

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
