// The simulated unit's own plumbing, seen from a client on its port: the faults other tests
// rely on (--late-line, --pace, --flood) doing what they promise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

// A client on the unit's port: raw, non-blocking, closed when it goes out of scope.
struct Client {
  explicit Client(const std::string& path)
      : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    termios mode{};
    if (fd >= 0 && tcgetattr(fd, &mode) == 0) {
      cfmakeraw(&mode);
      tcsetattr(fd, TCSANOW, &mode);
    }
  }
  ~Client() {
    if (fd >= 0) {
      close(fd);
    }
  }
  int fd;
};

void send(const Client& client, const std::string& bytes) {
  ASSERT_EQ(write(client.fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Reads until `text` has come back as a subsequence of what arrived (other bytes may come in
// between, as the tool allows), or the deadline. Returns whether it came.
bool await_subsequence(const Client& client, const std::string& text, std::string* got = nullptr,
                       int deadline_ms = kDeadlineMs) {
  std::size_t matched = 0;
  for (const auto start = Clock::now(); matched < text.size();) {
    const double left_ms = deadline_ms - ms_since(start);
    if (left_ms <= 0) {
      return false;
    }
    pollfd pfd{client.fd, POLLIN, 0};
    poll(&pfd, 1, static_cast<int>(left_ms) + 1);
    std::array<char, 4096> chunk{};
    const ssize_t n = read(client.fd, chunk.data(), chunk.size());
    for (ssize_t i = 0; i < n && matched < text.size(); ++i) {
      matched += chunk[static_cast<std::size_t>(i)] == text[matched] ? 1 : 0;
      if (got != nullptr) {
        got->push_back(chunk[static_cast<std::size_t>(i)]);
      }
    }
  }
  return true;
}

// Reads until `total` bytes have come, each read finding something within the deadline; false
// when the line went quiet for that long first.
bool keeps_arriving(const Client& client, std::size_t total, std::string& got) {
  while (got.size() < total) {
    pollfd pfd{client.fd, POLLIN, 0};
    if (poll(&pfd, 1, kDeadlineMs) <= 0) {
      return false;
    }
    std::array<char, 4096> chunk{};
    const ssize_t n = read(client.fd, chunk.data(), chunk.size());
    got.append(chunk.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  return true;
}

// How often the process has gone to sleep and been woken so far.
long wakeups(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
      return std::stol(line.substr(line.find(':') + 1));
    }
  }
  return -1;
}

TEST(SimulatedUnit, LateLineDelaysOnlyThatLineAndOthersOvertakeIt) {
  constexpr int kLateMs = 1500;
  Unit unit;
  start_unit(unit, {"--late-line", "2", "--late", std::to_string(kLateMs)});
  const Client client(unit.path);
  ASSERT_GE(client.fd, 0);
  auto start = Clock::now();
  send(client, "\r958:1\r\r");
  ASSERT_TRUE(await_subsequence(client, "\r958:1\r\r"));
  EXPECT_LT(ms_since(start), kLateMs);  // the first line at once: it has no reason to wait
  start = Clock::now();
  send(client, "\r7:5\r\r");
  send(client, "\r8:9\r\r");
  // Line 3 overtakes line 2, whose echo, its CR included, comes no sooner than asked.
  std::string got;
  ASSERT_TRUE(await_subsequence(client, "\r\r\r8:9\r\r7:5\r", &got));
  EXPECT_GE(ms_since(start), kLateMs);
  EXPECT_EQ(got, "\r\r\r8:9\r\r7:5\r");
  stop_unit(unit);
  EXPECT_EQ(wire(unit), "\r958:1\r\r\r7:5\r\r\r8:9\r\r");
}

TEST(SimulatedUnit, PaceSpacesEveryByteByOneCharacterTime) {
  const std::string line = "\r958:1\r\r";
  for (const unsigned baud : {1200u, 9600u}) {
    SCOPED_TRACE(baud);
    Unit unit;
    start_unit(unit, {"--pace", std::to_string(baud)});
    const Client client(unit.path);
    ASSERT_GE(client.fd, 0);
    const auto start = Clock::now();
    send(client, line);
    std::string got;
    std::vector<double> seen_ms;  // when each byte was read: never before it left
    while (got.size() < line.size() && ms_since(start) < kDeadlineMs) {
      pollfd pfd{client.fd, POLLIN, 0};
      poll(&pfd, 1, 100);
      std::array<char, 64> chunk{};
      for (ssize_t n = read(client.fd, chunk.data(), chunk.size()), i = 0; i < n; ++i) {
        got.push_back(chunk[static_cast<std::size_t>(i)]);
        seen_ms.push_back(ms_since(start));
      }
    }
    EXPECT_EQ(got, line);
    // Byte i left no sooner than i character times after the first, which left after the send.
    const double char_ms = 10000.0 / baud;
    for (std::size_t i = 0; i < seen_ms.size(); ++i) {
      EXPECT_GE(seen_ms[i], i * char_ms) << "byte " << i;
    }
  }
}

TEST(SimulatedUnit, FloodNeverGoesQuietAndEchoesStillComeThrough) {
  Unit unit;
  start_unit(unit, {"--flood"});
  const Client client(unit.path);
  ASSERT_GE(client.fd, 0);
  send(client, "\r958:1\r\r");
  std::string got;
  ASSERT_TRUE(await_subsequence(client, "\r958:1\r\r", &got));
  // The junk keeps coming, more of it than the terminal's buffers could hold from one burst,
  // and nothing of it could be taken for a command line: only the echo's own bytes are of the
  // line's alphabet.
  std::string junk;
  EXPECT_TRUE(keeps_arriving(client, 200000, junk));
  for (const char c : got + junk) {
    if (std::string("0123456789:\r").find(c) == std::string::npos) {
      ASSERT_NE(std::string("#\n\xff?x").find(c), std::string::npos) << int(c);
    }
  }
  EXPECT_EQ(junk.find_first_of("0123456789:\r"), std::string::npos);
}

// Waits until the process uses next to no CPU over half a second: it sleeps in the OS and
// nothing wakes it. False when it has not come to rest by the deadline.
bool comes_to_rest(pid_t pid) {
  constexpr double kRestSeconds = 0.005;  // a few wake-ups; a loop that spins uses it all
  for (const auto start = Clock::now(); ms_since(start) < kDeadlineMs;) {
    const double before = cpu_seconds(pid);
    poll(nullptr, 0, 500);
    if (before >= 0 && cpu_seconds(pid) - before < kRestSeconds) {
      return true;
    }
  }
  return false;
}

TEST(SimulatedUnit, PacedFloodWaitsForAClientThatStopsReading) {
  // Near-unpaced, so the client's buffers fill at once; then every write would block.
  Unit unit;
  start_unit(unit, {"--flood", "--pace", "10000000"});
  const Client client(unit.path);
  ASSERT_GE(client.fd, 0);
  EXPECT_TRUE(comes_to_rest(unit.pid));
  // Once the client reads again the flood goes on, and an echo still comes through it.
  send(client, "\r958:1\r\r");
  EXPECT_TRUE(await_subsequence(client, "\r958:1\r\r"));
  std::string junk;
  EXPECT_FALSE(await_subsequence(client, "never", &junk, 200));
  EXPECT_FALSE(junk.empty());
}

TEST(SimulatedUnit, FloodStopsWhenTheLastClientHasGone) {
  Unit unit;
  start_unit(unit, {"--flood", "--silent"});
  {
    const Client client(unit.path);
    ASSERT_GE(client.fd, 0);
    std::string junk;
    EXPECT_FALSE(await_subsequence(client, "never", &junk, 200));
    EXPECT_GT(junk.size(), 0u);
  }
  // Now no timer and no writes: the unit sleeps until someone comes, where a flood that went
  // on would wake it every millisecond. Seeing the client go may take it a moment.
  long woken = 0;
  for (const auto start = Clock::now(); ms_since(start) < kDeadlineMs;) {
    const long wakeups_before = wakeups(unit.pid);
    poll(nullptr, 0, 1000);
    woken = wakeups(unit.pid) - wakeups_before;
    if (woken < 10) {
      break;
    }
  }
  EXPECT_LT(woken, 10);
}

}  // namespace
}  // namespace e2e
