// The tool on the kernel's own serial drivers in the QEMU guest scripts/test-qemu.sh starts:
// 16550s on the 8250 driver (/dev/ttyS1-3) and FTDI adapters on ftdi_sio (/dev/ttyUSB0-1), each
// with quorvel-sim on its far end. QEMU's trace of the 16550s' registers and the adapters'
// requests and transfers shows the modem lines, the rate and every byte each port sent.
// Usage: qemu_driver_tests RUN   (RUN: the folder with QEMU's agent and monitor pipes, its
// trace.log and the units' wires, s1.wire for /dev/ttyS1 to u1.wire for /dev/ttyUSB1)
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

// What every run programs, and what the unit receives for it.
constexpr char kSettings[] = "-t 12:30:45 -d '7\\12\\2009' -1 5,90,3 -2 4,80,2,1 -a 0";
constexpr char kWire[] =
    "\r958:1\r\r\r6:0\r\r\r7:5\r\r\r8:90\r\r\r9:3\r\r\r10:4\r\r\r11:80\r\r\r12:2\r\r\r13:1\r\r"
    "\r1:45\r\r\r2:30\r\r\r3:12\r\r\r4:9\r\r\r5:12\r\r\r6:7\r\r\r958:0\r\r";
constexpr char kOpened[] =
    " Opened COM port                : %s\n                                  %u baud\n";
constexpr char kRefused[] = "Quorvel Setup\n\n! Unable to open COM port: %s, %u\n";
constexpr char kFailed[] = "'Failed (press ESC to exit)'";  // quoted for the guest's shell
constexpr std::size_t npos = std::string::npos;

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string format(const char* pattern, const std::string& port, unsigned a, unsigned b = 0) {
  std::array<char, 2048> text{};
  std::snprintf(text.data(), text.size(), pattern, port.c_str(), a, b);
  return text.data();
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

// The guest's agent (QEMU's pipe chardev: it reads agent.in and writes agent.out), what it has
// said and not yet been read, and the monitor (QEMU's standard input); the run's folder.
int g_to_agent = -1, g_from_agent = -1, g_monitor = -1;
std::string g_said, g_run;
std::string g_why;                           // the current case's failures
std::size_t g_trace_at = 0;                  // how much of the trace has been applied
std::map<std::string, unsigned> g_endpoint;  // each xHCI transfer's endpoint
Lines g_uart, g_usb;

bool check(bool ok, const std::string& what) {
  if (!ok) {
    g_why += (g_why.empty() ? "" : "; ") + what;
  }
  return ok;
}

// Runs one shell command line in the guest's agent (an empty one: takes its greeting). Returns
// its status, or -1 when no answer came within seconds; output gets what it printed.
int guest_status(const std::string& command, std::string* output = nullptr, int seconds = 30) {
  const std::string line = command.empty() ? "" : command + "\n";
  const long long deadline = now_ms() + seconds * 1000LL;
  ssize_t n = write(g_to_agent, line.data(), line.size());
  std::size_t at = npos;
  while (n >= 0 && ((at = g_said.find("\n@@")) == npos || g_said.find('\n', at + 1) == npos)) {
    std::array<char, 4096> buffer{};
    pollfd p{g_from_agent, POLLIN, 0};
    n = poll(&p, 1, static_cast<int>(std::max(0LL, deadline - now_ms()))) > 0
            ? read(g_from_agent, buffer.data(), buffer.size())
            : -1;
    g_said.append(buffer.data(), static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  }
  if (n < 0) {
    return -1;
  }
  if (output != nullptr) {
    *output = g_said.substr(0, at);
  }
  const int status = std::atoi(g_said.c_str() + at + 3);
  g_said.erase(0, g_said.find('\n', at + 1) + 1);
  return status;
}

// Runs a command that must succeed and gives its output.
std::string guest(const std::string& command) {
  std::string output;
  const int status = guest_status(command, &output);
  check(status == 0, "`" + command + "` gave " + std::to_string(status) + ": " + output);
  return output;
}

// What the monitor answers goes to QEMU's log; the guest tells whether the command took.
void monitor(const std::string& command) {
  check(write(g_monitor, (command + "\n").data(), command.size() + 1) > 0, command);
}

void set_lines(Lines& lines, bool dtr, bool rts) {
  lines.dtr = dtr;
  lines.rts = rts;
  lines.raises += dtr || rts ? 1 : 0;
}

void sent(Lines& lines, unsigned count) {
  lines.bytes_up += lines.dtr || lines.rts ? count : 0;
  // The rate the run's bytes began at: the emulated adapter may report its last transfer done
  // only after the port's own rate is back.
  lines.sent_at = lines.bytes == 0 ? lines.rate : lines.sent_at;
  lines.bytes += count;
}

// One trace line, "EVENT ARGS". The 16550s' events name no port: only the port under test is
// busy among them (the agent is on virtio).
void apply(const char* event) {
  unsigned a = 0;
  unsigned b = 0;
  std::array<char, 32> transfer{};
  if (std::sscanf(event, "serial_write write addr 0x%x val 0x%x", &a, &b) == 2) {
    // LCR bit 7 maps the divisor over the transmit register; MCR bit 0 is DTR, bit 1 RTS.
    g_uart.dlab = a == 3 ? (b & 0x80U) != 0 : g_uart.dlab;
    if (a == 0 && !g_uart.dlab) {
      sent(g_uart, 1);
    } else if (a == 4) {
      set_lines(g_uart, (b & 1U) != 0, (b & 2U) != 0);
    }
  } else if (std::sscanf(event, "serial_update_parameters baudrate=%u", &a) == 1 ||
             std::sscanf(event, "usb_serial_set_baud dev %*d:%*u baud rate %u", &a) == 1) {
    (event[0] == 's' ? g_uart : g_usb).rate = a;
  } else if (std::sscanf(event,
                         "usb_serial_handle_control dev %*d:%*u got control 0x%x, value 0x%x", &a,
                         &b) == 2 &&
             a == 0x4001) {
    // FTDI's SET_MODEM_CTRL: bits 0 and 1 DTR's and RTS's levels, bits 8 and 9 which it sets.
    set_lines(g_usb, (b & 0x100U) != 0 ? (b & 1U) != 0 : g_usb.dtr,
              (b & 0x200U) != 0 ? (b & 2U) != 0 : g_usb.rts);
  } else if (std::sscanf(event, "usb_xhci_xfer_start %31[^:]: slotid %*u, epid %u", transfer.data(),
                         &a) == 2) {
    g_endpoint[transfer.data()] = a;
  } else if (std::sscanf(event, "usb_xhci_xfer_success %31[^:]: len %u", transfer.data(), &a) ==
                 2 &&
             g_endpoint[transfer.data()] == 4) {
    sent(g_usb, a);  // xHCI numbers endpoint 2 out, the adapter's data for the line, 4
  }
}

// One kind of port's lines, with the trace's whole lines up to now applied.
Lines& lines_of(bool usb) {
  const std::string text = read_file(g_run + "/trace.log", g_trace_at);
  for (std::size_t start = 0, end = 0; (end = text.find('\n', start)) != npos; start = end + 1) {
    apply(text.substr(start, end - start).c_str());
    g_trace_at += end + 1 - start;
  }
  return usb ? g_usb : g_uart;
}

constexpr unsigned kStaleLock = 1;  // a dead process's lock file on the port first
constexpr unsigned kLiveLock = 2;   // a live process's lock file on it
constexpr unsigned kNeverOpen = 4;  // refused before the device is opened: no line raised
constexpr unsigned kHeld = 8;       // a live process holds the device open, without a lock file
constexpr unsigned kFlood = 16;     // held on a line never quiet: a second instance, ESC
constexpr unsigned kReplug = 32;    // the adapter pulled out mid-run and plugged back in
constexpr unsigned kPaced = 64;     // the unit echoes at the line's pace: the run takes as long
constexpr unsigned kBench = 128;    // five full runs timed against their floor, not judged

// A run: the exit status it must end with and the lines it must write on standard error (%1$s
// the port, %2$u the speed, %3$u the lock's PID). Status 0 programs the unit; 1 is a refusal.
struct Row {
  const char* device;
  unsigned baud, flags;
  int status;
  const char* what;
  std::string reason;
};

// The middle of a run on a line never quiet: its own lock file, a second instance refused
// without raising a line, and the lines lowered again after a root program opened the port
// (root passes TIOCEXCL; the kernel raises both inside its open); ESC ends it.
void held(const std::string& device, const std::string& lock, bool usb) {
  guest("waitfor /tmp/o " + std::string(kFailed) + " 1 && printf '%10d\\n' $tool | cmp - " + lock);
  lines_of(usb).raises = 0;
  std::string out;
  const int status =
      guest_status("timeout -s KILL 20 quorvel-setup -c " + device + " -l 0 2>/dev/null", &out);
  check(status == 1 && out == format(kRefused, device, 9600) && lines_of(usb).raises == 0,
        "the second instance was not refused, or raised DTR or RTS: " + out);
  // The attempt after the one under way lowers them again.
  guest("exec 7<" + device + "; waitfor /tmp/o " + kFailed +
        " $(($(grep -c Failed /tmp/o) + 2)); s=$?; exec 7<&-; (exit $s)");
  const Lines& lines = lines_of(usb);
  check(lines.raises > 0 && !lines.dtr && !lines.rts, "DTR or RTS not raised, or not lowered");
  guest("printf '\\033' >&4");
}

void replug() {
  guest("waitfor /tmp/o Done 3");
  monitor("device_del u0");
  guest("waitfor /tmp/e 'the port has gone' 1 && waitfor /tmp/o " + std::string(kFailed) + " 1");
  monitor("device_add usb-serial,chardev=u0,id=u0");
}

void bench(const std::string& args, double floor_ms) {
  std::array<long long, 5> times{};
  for (long long& t : times) {
    t = now_ms();
    guest("start " + args + "; finish >/dev/null");
    t = now_ms() - t;
  }
  std::sort(times.begin(), times.end());
  std::printf("     median of 5 full runs, -a 0 -l 0: %lld ms, floor %.0f ms, %.2fx\n", times[2],
              floor_ms, times[2] / floor_ms);
}

void run(const Row& row) {
  const std::string device = row.device, lock = "/run/lock/LCK.." + device.substr(5);
  const bool usb = device.find("USB") != npos;
  const std::string wire_path = g_run + (usb ? "/u" : "/s") + device.back() + ".wire";
  const std::string args =
      format("-c %s -b %u -l %u ", device, row.baud, (row.flags & kReplug) != 0 ? 100 : 0) +
      kSettings;
  // The floor: sixteen pauses of 20 ms and, echoed at the line's pace, the bytes' time.
  const double wire_ms = (sizeof kWire - 1) * 10 * 1000.0 / row.baud;
  if ((row.flags & kBench) != 0) {
    return bench(args, 16 * 20.0 + ((row.flags & kPaced) != 0 ? wire_ms : 0));
  }
  // PID 99999 is no process in the guest; a live lock's and a holder's is a sleep's. The agent
  // opens a held device itself: the kernel has raised the lines before the case's trace begins.
  std::string setup = "h=99999";
  if ((row.flags & (kLiveLock | kHeld)) != 0) {
    setup = "exec 6<" + ((row.flags & kHeld) != 0 ? device : "/dev/null") +
            "; sleep 60 <&6 >/dev/null 2>&1 & h=$!; exec 6<&-";
  }
  if ((row.flags & (kStaleLock | kLiveLock)) != 0) {
    setup += "; printf '%10d\\n' $h >" + lock;
  }
  const unsigned holder = std::stoul("0" + guest(setup + "; echo $h"));
  Lines& reset = lines_of(usb);
  reset = Lines{reset.dtr, reset.rts, reset.dlab};
  const std::size_t wire_at = read_file(wire_path).size();
  const long long started = now_ms();
  guest("start " + args);
  if ((row.flags & kFlood) != 0) {
    held(device, lock, usb);
  } else if ((row.flags & kReplug) != 0) {
    replug();
  }
  std::string out;
  const int status = guest_status("finish", &out, 200);
  const long long took = now_ms() - started;
  const std::size_t split = std::min(out.find('\f'), out.size());
  const std::string err = out.substr(std::min(split + 1, out.size()));
  out.resize(split);
  // The last bytes may still be on their way through QEMU to the unit when the tool has ended.
  std::string wire;
  for (const long long end = now_ms() + 5000;
       !ends_with(wire = read_file(wire_path, wire_at), kWire) && row.status == 0 &&
       now_ms() < end;) {
    poll(nullptr, 0, 20);
  }
  const Lines lines = lines_of(usb);
  check(status == row.status, "status " + std::to_string(status));
  check(err == format(row.reason.c_str(), device, row.baud, holder), "stderr: " + err);
  if (status == 1) {
    check(out == format(kRefused, device, row.baud) && wire.empty() && took < 10000,
          "took " + std::to_string(took) + " ms, the unit got \"" + wire + "\", stdout: " + out);
  } else if (status == 0) {
    // After a replug the run starts again from the unlock: the unit has the whole run last.
    check(out.find(format(kOpened, device, row.baud)) != npos &&
              ends_with(out, "All done without errors\n") &&
              ((row.flags & kReplug) != 0
                   ? out.find("Try unlock") != out.rfind("Try unlock") && ends_with(wire, kWire)
                   : wire == kWire),
          "stdout: " + out + "wire: " + wire);
  } else {
    check(ends_with(out, "User abort\n!! Failed !!\n"), "stdout: " + out);
  }
  check((row.flags & kNeverOpen) != 0 ? lines.raises == 0
                                      : lines.raises > 0 && !lines.dtr && !lines.rts,
        "DTR or RTS raised or left up");
  check(lines.bytes >= wire.size() && (lines.bytes_up == 0 || (row.flags & kFlood) != 0),
        format("%2$u bytes traced, %3$u with DTR or RTS up", "", lines.bytes, lines.bytes_up));
  // The 16550's divisor makes the rates exactly; FTDI's chip, as QEMU does, rounds its own
  // divisor (115384 for 115200). The port is given back at its own rate after the run.
  const unsigned tolerance = usb ? row.baud / 200 : 0;
  check(lines.bytes == 0 ||
            (lines.sent_at + tolerance >= row.baud && lines.sent_at <= row.baud + tolerance),
        "the port ran at " + std::to_string(lines.sent_at));
  // Nine tenths of the echo's time on the wire: an echo at once takes half a second at 75.
  check((row.flags & kPaced) == 0 || took >= wire_ms * 9 / 10,
        "took " + std::to_string(took) + " ms");
  check(guest_status("test -e " + lock + "; s=$?; kill $h 2>/dev/null; rm -f " + lock +
                     "; (exit $s)") == ((row.flags & kLiveLock) != 0 ? 0 : 1),
        "a lock file left behind, or another program's removed");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s RUN\n", argv[0]);
    return 2;
  }
  g_run = argv[1];
  const long long booted = now_ms();
  g_to_agent = open((g_run + "/agent.in").c_str(), O_RDWR | O_CLOEXEC);  // no wait for QEMU
  g_from_agent = open((g_run + "/agent.out").c_str(), O_RDWR | O_CLOEXEC);
  g_monitor = open((g_run + "/monitor").c_str(), O_RDWR | O_CLOEXEC);
  if (guest_status("", nullptr, 90) != 0) {
    std::printf("the guest did not start, or without its adapters (see qemu.log)\n");
    std::printf("0 passed, 1 failed\n");
    return 1;
  }
  std::printf("guest up in %.1f s\n", (now_ms() - booted) / 1000.0);
  constexpr char kSpeed[] = "quorvel-setup: %s: the port cannot run at %u bit/s";
  const std::string nearest = kSpeed + std::string("; the nearest it makes is ");
  const std::string busy = "quorvel-setup: %1$s: in use by another program (PID %3$u, sleep";
  const Row rows[] = {
      {"/dev/ttyS1", 115200, kStaleLock, 0, ", a stale lock", ""},
      // The rate setserial's spd_ settings stand for: the driver's flags tell the tool it runs.
      {"/dev/ttyS1", 38400, 0, 0, "", ""},
      {"/dev/ttyS1", 12345, 0, 1, "", nearest + "12800 bit/s\n"},
      {"/dev/ttyS1", 5000000, 0, 1, "",
       kSpeed + std::string("; the fastest it runs is 115200 bit/s\n")},
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
      {"/dev/ttyUSB0", 5000000, 0, 1, "", kSpeed + std::string("\n")},
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
  unsigned passed = 0;
  unsigned failures = 0;
  const char* only = std::getenv("QUORVEL_QEMU_CASES");
  for (const Row& row : rows) {
    const std::string name = format("%s: %u bit/s", row.device, row.baud) + row.what;
    if (only != nullptr && name.find(only) == npos) {
      continue;
    }
    g_why.clear();
    const long long started = now_ms();
    run(row);
    (g_why.empty() ? passed : failures) += 1;
    std::printf("%s %s (%.1f s)%s%s\n", g_why.empty() ? "ok  " : "FAIL", name.c_str(),
                (now_ms() - started) / 1000.0, g_why.empty() ? "" : "\n     ", g_why.c_str());
    std::fflush(stdout);
  }
  std::printf("%u passed, %u failed\n", passed, failures);
  return failures == 0 ? 0 : 1;
}
