// The tool on the kernel's own serial drivers in the QEMU guest scripts/test-qemu.sh starts:
// 16550s on the 8250 driver (/dev/ttyS1-3) and FTDI adapters on ftdi_sio (/dev/ttyUSB0-1), each
// with quorvel-sim on its far end. QEMU's trace of the 16550s' registers and the adapters'
// requests and transfers shows the modem lines, the rate and every byte each port sent.
// Runs in the run's folder, which holds QEMU's agent and monitor pipes, its trace.log and the
// units' wires, s1.wire for /dev/ttyS1 to u1.wire for /dev/ttyUSB1.
// Prints one line per case and "N passed, M failed"; exits 1 when any case failed.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace {

// What the unit receives for the settings every run programs (run's args).
constexpr char kWire[] =
    "\r958:1\r\r\r6:0\r\r\r7:5\r\r\r8:90\r\r\r9:3\r\r\r10:4\r\r\r11:80\r\r\r12:2\r\r\r13:1\r\r"
    "\r1:45\r\r\r2:30\r\r\r3:12\r\r\r4:9\r\r\r5:12\r\r\r6:7\r\r\r958:0\r\r";
constexpr char kOpened[] =
    " Opened COM port                : %s\n                                  %u baud\n";
constexpr char kRefused[] = "Quorvel Setup\n\n! Unable to open COM port: %s, %u\n";
const std::string kFailed = "'Failed (press ESC to exit)'";  // quoted for the guest's shell
constexpr std::size_t npos = std::string::npos;

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The pattern's %s is text, its %u the numbers after it, in their order (or numbered: %2$u).
std::string format(const char* pattern, const std::string& text, unsigned a = 0, unsigned b = 0,
                   unsigned c = 0, unsigned d = 0, unsigned e = 0) {
  std::array<char, 2048> out{};
  std::snprintf(out.data(), out.size(), pattern, text.c_str(), a, b, c, d, e);
  return out.data();
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string read_file(const std::string& path, std::size_t from = 0) {
  std::ifstream file(path, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(from));
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The modem lines, rate and bytes sent of one kind of port, as the trace shows them; the
// counts are the current case's.
struct Lines {
  bool dtr = false, rts = false, dlab = false;
  unsigned raises = 0, bytes = 0, bytes_up = 0, rate = 0, sent_at = 0;
};

// The guest's agent (QEMU's pipe chardev: it reads agent.in and writes agent.out; read-write,
// so that no open waits for QEMU) and what it has said that is not yet read; the monitor (QEMU's
// standard input); the current case's failures; how much of the trace is applied; each xHCI
// transfer's endpoint.
const int g_to_agent = open("agent.in", O_RDWR | O_CLOEXEC);
const int g_from_agent = open("agent.out", O_RDWR | O_CLOEXEC);
const int g_monitor = open("monitor", O_RDWR | O_CLOEXEC);
std::string g_said, g_why;
std::size_t g_trace_at = 0;
std::map<void*, unsigned> g_endpoint;
Lines g_uart, g_usb;

// Each failure goes on a line of its own under the case's.
void check(bool ok, const std::string& what) {
  g_why += ok ? "" : "\n     " + what;
}

// Runs one shell command line in the guest's agent (an empty one: takes its greeting), which
// must end with status want within seconds (-1: no answer came). Gives what it printed. After
// one answer missed no other is asked for: a late one would be taken for the next command's.
std::string guest(const std::string& command, int want = 0, int seconds = 30) {
  static bool answers_lost = false;
  const long long deadline = now_ms() + seconds * 1000LL;
  ssize_t n = answers_lost ? -1
                           : write(g_to_agent, (command + "\n").data(),
                                   command.empty() ? 0 : command.size() + 1);
  std::size_t at = npos;
  while (n >= 0 && ((at = g_said.find("\n@@")) == npos || g_said.find('\n', at + 1) == npos)) {
    std::array<char, 4096> buffer{};
    pollfd p{g_from_agent, POLLIN, 0};
    n = poll(&p, 1, std::max(0LL, deadline - now_ms())) > 0
            ? read(p.fd, buffer.data(), buffer.size())
            : -1;
    g_said.append(buffer.data(), std::max<ssize_t>(n, 0));
  }
  const int status = n < 0 ? -1 : std::atoi(g_said.c_str() + at + 3);
  answers_lost = n < 0;
  const std::string output = g_said.substr(0, n < 0 ? npos : at);
  g_said.erase(0, n < 0 ? npos : g_said.find('\n', at + 1) + 1);
  check(status == want, "`" + command + "` gave " + std::to_string(status) + ": " + output);
  return output;
}

// What the monitor answers goes to QEMU's log; the guest tells whether the command took.
void monitor(const std::string& command) {
  check(write(g_monitor, (command + "\n").data(), command.size() + 1) > 0, command);
}

// The lines as the port set them (a raise when either is up), with count bytes sent.
void update(Lines& lines, bool dtr, bool rts, unsigned count = 0) {
  lines.dtr = dtr;
  lines.rts = rts;
  lines.raises += count == 0 && (dtr || rts) ? 1 : 0;
  lines.bytes_up += dtr || rts ? count : 0;
  // The rate the run's bytes began at: the emulated adapter may report its last transfer done
  // only after the port's own rate is back.
  lines.sent_at = lines.bytes == 0 ? lines.rate : lines.sent_at;
  lines.bytes += count;
}

// One trace line, "EVENT ARGS". The 16550s' events name no port: only the port under test is
// busy among them (the agent is on virtio).
void apply(const char* event) {
  unsigned a = 0, b = 0;
  void* xfer = nullptr;
  if (std::sscanf(event, "serial_write write addr 0x%x val 0x%x", &a, &b) == 2) {
    // LCR bit 7 maps the divisor over the transmit register; MCR bit 0 is DTR, bit 1 RTS.
    g_uart.dlab = a == 3 ? (b & 0x80U) != 0 : g_uart.dlab;
    if (a == 0 && !g_uart.dlab) {
      update(g_uart, g_uart.dtr, g_uart.rts, 1);
    } else if (a == 4) {
      update(g_uart, (b & 1U) != 0, (b & 2U) != 0);
    }
  } else if (std::sscanf(event, "serial_update_parameters baudrate=%u", &a) == 1 ||
             std::sscanf(event, "usb_serial_set_baud dev %*s baud rate %u", &a) == 1) {
    (event[0] == 's' ? g_uart : g_usb).rate = a;
  } else if (std::sscanf(event, "usb_serial_handle_control dev %*s got control 0x%x, value 0x%x",
                         &a, &b) == 2 &&
             a == 0x4001) {
    // FTDI's SET_MODEM_CTRL: bits 0 and 1 DTR's and RTS's levels, bits 8 and 9 which it sets.
    update(g_usb, (b & 0x100U) != 0 ? (b & 1U) != 0 : g_usb.dtr,
           (b & 0x200U) != 0 ? (b & 2U) != 0 : g_usb.rts);
  } else if (std::sscanf(event, "usb_xhci_xfer_start %p: slotid %*u, epid %u", &xfer, &a) == 2) {
    g_endpoint[xfer] = a;
  } else if (std::sscanf(event, "usb_xhci_xfer_success %p: len %u", &xfer, &a) == 2 &&
             g_endpoint[xfer] == 4) {
    // xHCI numbers endpoint 2 out, the adapter's data for the line, 4.
    update(g_usb, g_usb.dtr, g_usb.rts, a);
  }
}

// One kind of port's lines, with the trace's whole lines up to now applied.
Lines& lines_of(bool usb) {
  const std::string text = read_file("trace.log", g_trace_at);
  for (std::size_t start = 0, end = 0; (end = text.find('\n', start)) != npos; start = end + 1) {
    apply(text.substr(start, end - start).c_str());
    g_trace_at += end + 1 - start;
  }
  return usb ? g_usb : g_uart;
}

// What a row sets up, does and expects beyond its status and texts. kStaleLock: a dead process's
// lock file on the port first; kLiveLock: a live process's lock file on it; kHeld: a live
// process holds the device open, without a lock file; kNeverOpen: refused before the device is
// opened, no line raised; kFlood: on a line never quiet, held, a second instance, ESC; kReplug:
// the adapter pulled out mid-run and plugged back in; kPaced: the unit echoes at the line's
// pace, and the run takes as long; kBench: five full runs timed against their floor, not judged.
enum Flag : unsigned { kStaleLock = 1, kLiveLock = 2, kHeld = 4, kNeverOpen = 8 };
enum MoreFlag : unsigned { kFlood = 16, kReplug = 32, kPaced = 64, kBench = 128 };

// A run: the exit status it must end with and the lines it must write on standard error (%1$s
// the port, %2$u the speed, %3$u the lock's PID). Status 0 programs the unit; 1 is a refusal.
struct Row {
  const char* device;
  unsigned baud, flags, status;
  const char* what;
  std::string reason;
  bool has(unsigned flag) const { return (flags & flag) != 0; }
};

// Runs a row's case; gives the time from the tool's start to its end.
long long run(const Row& row) {
  const std::string device = row.device, lock = "/run/lock/LCK.." + device.substr(5);
  const bool usb = device.find("USB") != npos;
  // The unit's wire: s1.wire for /dev/ttyS1, u0.wire for /dev/ttyUSB0.
  const std::string path = (usb ? "u" : "s") + device.substr(device.size() - 1) + ".wire";
  const std::string args =
      format("-c %s -b %u -l %u -t 12:30:45 -d '7\\12\\2009' -1 5,90,3 -2 4,80,2,1 -a 0", device,
             row.baud, row.has(kReplug) ? 100 : 0);
  const double wire_ms = (sizeof kWire - 1) * 10 * 1000.0 / row.baud;
  // Every run has a holder, a sleep ($h), which holds the device open for kHeld (the agent opens
  // it itself: the kernel has raised the lines before the case's trace begins). No process in
  // the guest has PID 99999, the stale lock's.
  const unsigned holder =
      std::stoul("0" + guest("exec 6<" + (row.has(kHeld) ? device : "/dev/null") +
                             "; sleep 60 <&6 >/dev/null 2>&1 & h=$!; exec 6<&-; echo $h"));
  if (row.has(kStaleLock | kLiveLock)) {
    guest(format("printf '%%10d\\n' %2$u >%1$s", lock, row.has(kLiveLock) ? holder : 99999));
  }
  Lines& reset = lines_of(usb);
  reset = Lines{reset.dtr, reset.rts, reset.dlab};
  const std::size_t from = read_file(path).size();
  const long long started = now_ms();
  guest("start " + args);
  if (row.has(kFlood)) {
    // On a line never quiet: the tool's own lock file, a second instance refused without raising
    // a line, and the lines lowered again after a root program opened the port (root passes
    // TIOCEXCL; the kernel raises both inside its open), by the attempt after the one under way.
    guest("waitfor /tmp/o " + kFailed + " 1 && printf '%10d\\n' $tool | cmp - " + lock);
    lines_of(usb).raises = 0;
    const std::string out =
        guest("timeout -s KILL 20 quorvel-setup -c " + device + " -l 0 2>/dev/null", 1);
    check(out == format(kRefused, device, 9600) && lines_of(usb).raises == 0,
          "the second instance raised DTR or RTS, or said: " + out);
    guest("exec 7<" + device + "; waitfor /tmp/o " + kFailed +
          " $(($(grep -c Failed /tmp/o) + 2)); s=$?; exec 7<&-; (exit $s)");
    const Lines& lines = lines_of(usb);
    check(lines.raises > 0 && !lines.dtr && !lines.rts, "DTR or RTS not raised, or not lowered");
    guest("printf '\\033' >&4");
  } else if (row.has(kReplug)) {
    guest("waitfor /tmp/o Done 3");
    monitor("device_del u0");
    guest("waitfor /tmp/e 'the port has gone' 1 && waitfor /tmp/o " + kFailed + " 1");
    monitor("device_add usb-serial,chardev=u0,id=u0");
  }
  guest("wait $tool", row.status, 200);
  const long long took = now_ms() - started;
  const std::string out = guest("cat /tmp/o"), err = guest("cat /tmp/e");
  // The last bytes may still be on their way through QEMU to the unit when the tool has ended.
  std::string wire;
  for (int i = 0; i < 250 && !ends_with(wire = read_file(path, from), kWire) && row.status == 0;
       ++i) {
    poll(nullptr, 0, 20);
  }
  check(err == format(row.reason.c_str(), device, row.baud, holder), "stderr: " + err);
  // A refusal comes at once, with nothing sent. A run that programmed the unit has the whole run
  // on the wire; after a replug, last, after the steps it had done (it starts again from the
  // unlock). Echoed at the line's pace, it takes nine tenths of the echo's time on the wire at
  // least (an echo at once takes half a second at 75).
  const bool programmed = out.find(format(kOpened, device, row.baud)) != npos &&
                          ends_with(out, "All done without errors\n") && ends_with(wire, kWire) &&
                          (wire.size() > sizeof kWire - 1) == row.has(kReplug);
  check(row.status == 1 ? out == format(kRefused, device, row.baud) && wire.empty() && took < 10000
        : row.status == 0 ? programmed && (!row.has(kPaced) || took >= wire_ms * 9 / 10)
                          : ends_with(out, "User abort\n!! Failed !!\n"),
        "took " + std::to_string(took) + " ms, the unit got \"" + wire + "\", stdout: " + out);
  // DTR and RTS raised by the open (unless never opened), lowered, and never up while a byte went
  // out but on a held line. The 16550's divisor makes the rates exactly; FTDI's chip, as QEMU
  // does, rounds its own divisor (115384 for 115200). The port gets its own rate back after.
  const Lines lines = lines_of(usb);
  const unsigned tolerance = usb ? row.baud / 200 : 0;
  check(
      (row.has(kNeverOpen) ? lines.raises == 0 : lines.raises > 0 && !lines.dtr && !lines.rts) &&
          lines.bytes >= wire.size() && (lines.bytes_up == 0 || row.has(kFlood)) &&
          (lines.bytes == 0 ||
           (lines.sent_at + tolerance >= row.baud && lines.sent_at <= row.baud + tolerance)),
      format("%sDTR or RTS: %u raises, %u up at the end; %u bytes, %u with them up, at %u bit/s",
             "", lines.raises, lines.dtr || lines.rts, lines.bytes, lines.bytes_up, lines.sent_at));
  // The holder ends; rm fails when there is no lock file to remove.
  guest("kill $h; rm " + lock + " 2>/dev/null", row.has(kLiveLock) ? 0 : 1);
  return took;
}

}  // namespace

int main() {
  const long long booted = now_ms();
  guest("", 0, 90);
  if (!g_why.empty()) {
    std::printf("the guest did not come up (see qemu.log):%s\n0 passed, 1 failed\n", g_why.c_str());
    return 1;
  }
  std::printf("guest up in %.1f s\n", (now_ms() - booted) / 1000.0);
  const std::string speed = "quorvel-setup: %s: the port cannot run at %u bit/s";
  const std::string nearest = speed + "; the nearest it makes is ";
  const std::string busy = "quorvel-setup: %1$s: in use by another program (PID %3$u, sleep";
  const Row rows[] = {
      {"/dev/ttyS1", 115200, kStaleLock, 0, ", a stale lock", ""},
      // The rate setserial's spd_ settings stand for: the driver's flags tell the tool it runs.
      {"/dev/ttyS1", 38400, 0, 0, "", ""},
      {"/dev/ttyS1", 12345, 0, 1, "", nearest + "12800 bit/s\n"},
      {"/dev/ttyS1", 5000000, 0, 1, "", speed + "; the fastest it runs is 115200 bit/s\n"},
      {"/dev/ttyS1", 9600, kLiveLock | kNeverOpen, 1, ", a live lock",
       busy + "; lock file /run/lock/LCK..ttyS1)\n"},
      {"/dev/ttyS1", 9600, kHeld | kNeverOpen, 1, ", held open", busy + ")\n"},
      {"/dev/ttyS0", 9600, kNeverOpen, 1, "",
       "quorvel-setup: %s: nothing answers on this port (an adapter unplugged, or a port this "
       "computer does not have)\n"},
      {"/dev/ttyS2", 9600, kFlood, 2, ", a line never quiet, held, ESC", ""},
      {"/dev/ttyS3", 75, kPaced, 0, ", the echo at the line's pace", ""},
      {"/dev/ttyUSB0", 115200, kStaleLock, 0, ", a stale lock", ""},
      {"/dev/ttyUSB0", 38400, 0, 0, "", ""},
      {"/dev/ttyUSB0", 5000000, 0, 1, "", speed + "\n"},
      {"/dev/ttyUSB0", 75, 0, 1, "", nearest + "415 bit/s\n"},
      {"/dev/ttyUSB7", 9600, kNeverOpen, 1, "",
       "quorvel-setup: %s: no such port. Serial ports here: /dev/ttyS1 (serial), /dev/ttyS2 "
       "(serial), /dev/ttyS3 (serial), /dev/ttyUSB0 (QEMU USB SERIAL), /dev/ttyUSB1 (QEMU USB "
       "SERIAL)\n"},
      {"/dev/ttyUSB0", 9600, kReplug, 0, ", pulled out and plugged back in",
       "quorvel-setup: %1$s: the port has gone; plug it back in, or press ESC\n"
       "quorvel-setup: %1$s: the port is back; starting again from the unlock\n"},
      {"/dev/ttyUSB1", 9600, kFlood, 2, ", a line never quiet, held, ESC", ""},
      {"/dev/ttyS3", 9600, kBench | kPaced, 0, ", the benchmark, the echo at the line's pace", ""},
      {"/dev/ttyS1", 9600, kBench, 0, ", the benchmark, the echo at once", ""},
  };
  unsigned passed = 0, failures = 0;
  const char* only = std::getenv("QUORVEL_QEMU_CASES");
  for (const Row& row : rows) {
    const std::string name = format("%s: %u bit/s", row.device, row.baud) + row.what;
    if (only != nullptr && name.find(only) == npos) {
      continue;
    }
    g_why.clear();
    const long long started = now_ms();
    // A benchmark: five runs, the median of their times against their floor (sixteen pauses of
    // 20 ms and, echoed at the line's pace, the bytes' time on the wire).
    std::array<long long, 5> took{};
    std::generate_n(took.begin(), row.has(kBench) ? 5 : 1, [&row] { return run(row); });
    if (row.has(kBench)) {
      std::sort(took.begin(), took.end());
      const double floor_ms =
          16 * 20.0 + (row.has(kPaced) ? (sizeof kWire - 1) * 10000.0 / row.baud : 0);
      std::printf("     median of 5 full runs, -a 0 -l 0: %lld ms, floor %.0f ms, %.2fx\n", took[2],
                  floor_ms, took[2] / floor_ms);
    }
    (g_why.empty() ? passed : failures) += 1;
    std::printf("%s %s (%.1f s)%s\n", g_why.empty() ? "ok  " : "FAIL", name.c_str(),
                (now_ms() - started) / 1000.0, g_why.c_str());
    std::fflush(stdout);
  }
  std::printf("%u passed, %u failed\n", passed, failures);
  return failures == 0 ? 0 : 1;
}
