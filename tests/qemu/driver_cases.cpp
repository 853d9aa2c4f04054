// The tool on the kernel's own serial drivers in a QEMU guest: 16550s on the 8250 driver
// (/dev/ttyS1-3) and FTDI adapters on ftdi_sio (/dev/ttyUSB0-1), each with quorvel-sim on its
// far end. QEMU's trace of the 16550s' registers and the adapters' requests and transfers
// shows the modem lines, the rate and every byte each port sent.
// Usage: qemu_driver_tests KERNEL INITRD WORKDIR QUORVEL_SIM
// Prints one line per case and "N passed, M failed"; exits 1 when any case failed.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
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
constexpr char kFailed[] = "Failed (press ESC to exit)";

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
  unsigned raises = 0, bytes = 0, bytes_up = 0, rate_sets = 0, rate = 0, sent_at = 0;
};

struct Channel {
  int in = -1, out = -1;  // QEMU's pipe chardev: it reads NAME.in and writes NAME.out
  std::string got;
};

struct Stage {
  std::string work, why;  // the run's folder; the current case's failures
  Channel agent, monitor;
  int trace_fd = -1, seq = 0;
  std::string trace_rest;
  std::set<std::string> out_transfers;  // xHCI transfers to an adapter's data endpoint
  Lines uart, usb;
};

Stage g;

bool check(bool ok, const std::string& what) {
  if (!ok) {
    g.why += (g.why.empty() ? "" : "; ") + what;
  }
  return ok;
}

// Starts a shell command line in the background, its output in NAME.log and its PID in
// NAME.pid, where scripts/test-qemu.sh ends it.
bool spawn(const std::string& command, const std::string& name) {
  return std::system(
             ("exec <&- >" + name + ".log 2>&1; " + command + " & echo $! >" + name + ".pid")
                 .c_str()) != 0;
}

bool open_channel(Channel& channel, const std::string& name) {
  mkfifo((name + ".in").c_str(), 0600);
  mkfifo((name + ".out").c_str(), 0600);
  // Read-write, so that neither open waits for QEMU.
  channel.in = open((name + ".in").c_str(), O_RDWR | O_CLOEXEC);
  channel.out = open((name + ".out").c_str(), O_RDWR | O_CLOEXEC);
  return channel.in < 0 || channel.out < 0;
}

// Writes line, then reads until the channel's text holds what after from. Where what starts,
// or npos when it did not come by the deadline.
std::size_t read_until(Channel& channel, const std::string& what, long long deadline,
                       std::size_t from = 0, const std::string& line = "") {
  std::size_t at = std::string::npos;
  if (write(channel.in, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    return at;
  }
  while ((at = channel.got.find(what, from)) == std::string::npos) {
    pollfd p{channel.out, POLLIN, 0};
    std::array<char, 4096> buffer{};
    const long long left = deadline - now_ms();
    const ssize_t n = left > 0 && poll(&p, 1, static_cast<int>(left)) > 0
                          ? read(channel.out, buffer.data(), buffer.size())
                          : -1;
    if (n <= 0) {
      return std::string::npos;
    }
    channel.got.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return at;
}

// Runs one shell command line in the guest's agent. Returns its status, or -1 when no answer
// came within seconds; output gets what it printed.
int guest_status(const std::string& command, std::string* output = nullptr, int seconds = 30) {
  const std::string seq = std::to_string(++g.seq), head = "@@" + seq + "\n",
                    tail = "\n@@" + seq + " ";
  const long long deadline = now_ms() + seconds * 1000LL;
  // Anything before the head is a late answer to an earlier command.
  const std::size_t from = read_until(g.agent, head, deadline, 0, seq + " " + command + "\n");
  const std::size_t at =
      from == std::string::npos ? from : read_until(g.agent, tail, deadline, from);
  if (at == std::string::npos || read_until(g.agent, "\n", deadline, at + 1) == std::string::npos) {
    return -1;
  }
  if (output != nullptr) {
    *output = g.agent.got.substr(from + head.size(), at - from - head.size());
  }
  const int status = std::atoi(g.agent.got.c_str() + at + tail.size());
  g.agent.got.erase(0, g.agent.got.find('\n', at + 1) + 1);
  return status;
}

// Runs a command that must succeed and gives its output.
std::string guest(const std::string& command, int seconds = 30) {
  std::string output;
  const int status = guest_status(command, &output, seconds);
  check(status == 0, "`" + command + "` gave " + std::to_string(status) + ": " + output);
  return output;
}

void monitor(const std::string& command) {
  Channel& m = g.monitor;
  m.got.clear();
  const long long deadline = now_ms() + 20000;
  const std::size_t echo = read_until(m, "\n", deadline, 0, command + "\n");
  const std::size_t prompt =
      echo == std::string::npos ? echo : read_until(m, "(qemu) ", deadline, echo);
  // Between the echo of the command and the next prompt the monitor speaks only of failures.
  const std::string said =
      prompt == std::string::npos ? "no answer" : m.got.substr(echo + 1, prompt - echo - 1);
  check(said.find_first_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos,
        command + ": " + said);
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
    if (a == 3) {
      g.uart.dlab = (b & 0x80U) != 0;
    } else if (a == 0 && !g.uart.dlab) {
      sent(g.uart, 1);
    } else if (a == 4) {
      set_lines(g.uart, (b & 1U) != 0, (b & 2U) != 0);
    }
  } else if (std::sscanf(event, "serial_update_parameters baudrate=%u", &a) == 1 ||
             std::sscanf(event, "usb_serial_set_baud dev %*d:%*u baud rate %u", &a) == 1) {
    Lines& lines = event[0] == 's' ? g.uart : g.usb;
    lines.rate = a;
    ++lines.rate_sets;
  } else if (std::sscanf(event,
                         "usb_serial_handle_control dev %*d:%*u got control 0x%x, value 0x%x", &a,
                         &b) == 2 &&
             a == 0x4001) {
    // FTDI's SET_MODEM_CTRL: bits 0 and 1 DTR's and RTS's levels, bits 8 and 9 which it sets.
    set_lines(g.usb, (b & 0x100U) != 0 ? (b & 1U) != 0 : g.usb.dtr,
              (b & 0x200U) != 0 ? (b & 2U) != 0 : g.usb.rts);
  } else if (std::sscanf(event, "usb_xhci_xfer_start %31[^:]: slotid %*u, epid %u", transfer.data(),
                         &a) == 2) {
    // xHCI numbers endpoint 2 out, the adapter's data for the line, 4.
    if (a == 4) {
      g.out_transfers.insert(transfer.data());
    } else {
      g.out_transfers.erase(transfer.data());
    }
  } else if (std::sscanf(event, "usb_xhci_xfer_success %31[^:]: len %u", transfer.data(), &a) ==
                 2 &&
             g.out_transfers.count(transfer.data()) != 0) {
    sent(g.usb, a);
  }
}

// One kind of port's lines, with the trace read up to now.
Lines& lines_of(bool usb) {
  std::array<char, 65536> buffer{};
  ssize_t n = 0;
  while ((n = read(g.trace_fd, buffer.data(), buffer.size())) > 0) {
    g.trace_rest.append(buffer.data(), static_cast<std::size_t>(n));
  }
  std::size_t start = 0;
  for (std::size_t end = 0; (end = g.trace_rest.find('\n', start)) != std::string::npos;
       start = end + 1) {
    apply(g.trace_rest.substr(start, end - start).c_str());
  }
  g.trace_rest.erase(0, start);
  return usb ? g.usb : g.uart;
}

// A port and the simulated unit on its far end, with these options; QEMU's chardev is name.
struct Port {
  const char* name;
  const char* mode;
  bool usb;
  std::size_t wire_at;  // the unit's wire's size when the case began
  std::string wire() const { return g.work + "/" + name + ".wire"; }
};

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
  Port* port;
  const char* device;
  unsigned baud, flags;
  int status;
  const char* what;
  std::string reason;
};

// The middle of a held run: its own lock file, a second instance refused without raising a
// line, and the lines lowered again after a root program opened the port (root passes
// TIOCEXCL; the kernel raises both inside its open); ESC ends it.
void held(const Row& row, const std::string& lock) {
  check(guest_status("waitfor /tmp/o1 '" + std::string(kFailed) + "' 1") == 0, "never failed");
  const unsigned pid = std::stoul("0" + guest("cat /tmp/p1"));
  check(guest("cat " + lock) == format("%2$10u\n", "", pid), "the lock holds no PID");
  lines_of(row.port->usb).raises = 0;
  check(guest_status(std::string("start 2 -c ") + row.device + " -l 0; finish 2") == 1,
        "the second instance was not refused");
  check(guest("cat /tmp/o2") == format(kRefused, row.device, 9600), "second stdout");
  check(lines_of(row.port->usb).raises == 0, "the second instance raised DTR or RTS");
  // The attempt after the one under way lowers them again.
  const std::string shown = guest(std::string("exec 7<") + row.device + "; grep -c Failed /tmp/o1");
  guest("waitfor /tmp/o1 '" + std::string(kFailed) + "' " + std::to_string(std::stoul(shown) + 2) +
        "; exec 7<&-");
  const Lines& lines = lines_of(row.port->usb);
  check(lines.raises > 0 && !lines.dtr && !lines.rts, "DTR or RTS not raised, or not lowered");
  guest("printf '\\033' >&4");
}

void replug() {
  guest("waitfor /tmp/o1 Done 3");
  monitor("device_del adapter");
  guest("waitfor /tmp/e1 'the port has gone' 1 && waitfor /tmp/o1 '" + std::string(kFailed) +
        "' 1");
  monitor("device_add usb-serial,chardev=u0,id=adapter");
}

void bench(const std::string& args, double floor_ms) {
  std::array<long long, 5> times{};
  for (long long& t : times) {
    t = now_ms();
    guest("start 1 " + args + "; finish 1");
    t = now_ms() - t;
  }
  std::sort(times.begin(), times.end());
  std::printf("     median of 5 full runs, -a 0 -l 0: %lld ms, floor %.0f ms, %.2fx\n", times[2],
              floor_ms, times[2] / floor_ms);
}

void run(const Row& row) {
  Port& port = *row.port;
  const std::string lock = "/run/lock/LCK.." + std::string(row.device + 5);
  const std::string args =
      format("-c %s -b %u -l %u ", row.device, row.baud, (row.flags & kReplug) != 0 ? 100 : 0) +
      kSettings;
  // The floor: sixteen pauses of 20 ms and, echoed at the line's pace, the bytes' time.
  const double wire_ms = std::strlen(kWire) * 10 * 1000.0 / row.baud;
  if ((row.flags & kBench) != 0) {
    return bench(args, 16 * 20.0 + ((row.flags & kPaced) != 0 ? wire_ms : 0));
  }
  std::string holder = "99999";
  if ((row.flags & (kLiveLock | kHeld)) != 0) {
    const std::string opens = (row.flags & kHeld) != 0 ? std::string("<") + row.device : "";
    holder = guest("sleep 60 " + opens + " >/dev/null 2>&1 & echo $!");
    holder.erase(holder.find_last_not_of('\n') + 1);
    // Its open (which raises the lines) done before the case's trace begins.
    guest("until [ \"$(readlink /proc/" + holder + "/fd/0)\" = " + row.device + " ] || [ -z '" +
          opens + "' ]; do sleep 0.05; done");
  }
  if ((row.flags & (kStaleLock | kLiveLock)) != 0) {
    guest("printf '%10d\\n' " + holder + " >" + lock);
  }
  Lines& reset = lines_of(port.usb);
  reset = Lines{reset.dtr, reset.rts, reset.dlab};
  port.wire_at = read_file(port.wire()).size();
  const long long started = now_ms();
  guest("start 1 " + args);
  if ((row.flags & kFlood) != 0) {
    held(row, lock);
  } else if ((row.flags & kReplug) != 0) {
    replug();
  }
  const int status = guest_status("finish 1", nullptr, 200);
  const long long took = now_ms() - started;
  const std::string out = guest("cat /tmp/o1");
  const std::string err = guest("cat /tmp/e1");
  // The last bytes may still be on their way through QEMU to the unit when the tool has ended.
  std::string wire = read_file(port.wire(), port.wire_at);
  for (const long long end = now_ms() + 5000;
       row.status == 0 && !ends_with(wire, kWire) && now_ms() < end;
       wire = read_file(port.wire(), port.wire_at)) {
    poll(nullptr, 0, 20);
  }
  const Lines lines = lines_of(port.usb);
  check(status == row.status, "status " + std::to_string(status));
  check(err == format(row.reason.c_str(), row.device, row.baud, std::stoul(holder)),
        "stderr: " + err);
  if (status == 1) {
    check(out == format(kRefused, row.device, row.baud) && wire.empty() && took < 10000,
          "took " + std::to_string(took) + " ms, the unit got \"" + wire + "\", stdout: " + out);
  } else if (status == 0) {
    // After a replug the run starts again from the unlock: the unit has the whole run last.
    check(out.find(format(kOpened, row.device, row.baud)) != std::string::npos &&
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
  const unsigned tolerance = port.usb ? row.baud / 200 : 0;
  check(lines.bytes == 0 || (lines.rate_sets > 0 && lines.sent_at + tolerance >= row.baud &&
                             lines.sent_at <= row.baud + tolerance),
        "the port ran at " + std::to_string(lines.sent_at));
  check((guest_status("test -e " + lock) == 0) == ((row.flags & kLiveLock) != 0),
        "a lock file left behind, or another program's removed");
  // Nine tenths of the echo's time on the wire: an echo at once takes half a second at 75.
  check((row.flags & kPaced) == 0 || took >= wire_ms * 9 / 10,
        "took " + std::to_string(took) + " ms");
  guest("rm -f " + lock + ((row.flags & (kLiveLock | kHeld)) != 0 ? "; kill " + holder : ""));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s KERNEL INITRD WORKDIR QUORVEL_SIM\n", argv[0]);
    return 2;
  }
  g.work = argv[3];
  const long long booted = now_ms();
  std::string qemu =
      "qemu-system-x86_64 -machine q35 -m 256 -nodefaults -display none -no-reboot -device "
      "virtio-serial-pci -device virtconsole,chardev=agent -device qemu-xhci -device "
      "isa-serial,index=1,chardev=s1 -device isa-serial,index=2,chardev=s2 -device "
      "isa-serial,index=3,chardev=s3 -device usb-serial,chardev=u0,id=adapter -device "
      "usb-serial,chardev=u1 -append 'console=tty0 panic=-1 quiet' -kernel '" +
      std::string(argv[1]) + "' -initrd '" + argv[2] + "' -chardev pipe,id=agent,path=" + g.work +
      "/agent -monitor pipe:" + g.work + "/monitor -trace events=" + g.work + "/events -D " +
      g.work + "/trace.log";
  std::ofstream(g.work + "/events") << "serial_write\nserial_update_parameters\n"
                                       "usb_serial_handle_control\nusb_serial_set_baud\n"
                                       "usb_xhci_xfer_start\nusb_xhci_xfer_success\n";
  Port ports[] = {{"s1", "", false, 0},
                  {"s2", "--flood --silent", false, 0},
                  {"s3", "--pace line", false, 0},
                  {"u0", "", true, 0},
                  {"u1", "--flood --silent", true, 0}};
  bool failed =
      open_channel(g.agent, g.work + "/agent") || open_channel(g.monitor, g.work + "/monitor");
  for (const Port& port : ports) {
    const std::string base = g.work + "/" + port.name;
    failed = failed || spawn("'" + std::string(argv[4]) + "' --link " + base + ".link --wire " +
                                 port.wire() + " " + port.mode,
                             base);
    qemu += std::string(" -chardev serial,id=") + port.name + ",path=" + base + ".link";
    for (int i = 0; i < 100 && access((base + ".link").c_str(), F_OK) != 0; ++i) {
      usleep(50000);
    }
  }
  if (failed || spawn(qemu, g.work + "/qemu") ||
      read_until(g.agent, "@@READY\n", now_ms() + 90000) == std::string::npos ||
      read_until(g.monitor, "(qemu) ", now_ms() + 10000) == std::string::npos) {
    std::printf("the guest did not start (see qemu.log): %s\n0 passed, 1 failed\n",
                g.agent.got.c_str());
    return 1;
  }
  g.agent.got.clear();
  g.trace_fd = open((g.work + "/trace.log").c_str(), O_RDONLY | O_CLOEXEC);
  std::printf("guest up in %.1f s\n", (now_ms() - booted) / 1000.0);
  Port *s1 = &ports[0], *s2 = &ports[1], *s3 = &ports[2], *u0 = &ports[3], *u1 = &ports[4];
  constexpr char kSpeed[] = "quorvel-setup: %s: the port cannot run at %u bit/s";
  const std::string nearest = kSpeed + std::string("; the nearest it makes is ");
  const std::string busy = "quorvel-setup: %1$s: in use by another program (PID %3$u, sleep";
  const Row rows[] = {
      {s1, "/dev/ttyS1", 9600, 0, 0, "", ""},
      {s1, "/dev/ttyS1", 115200, kStaleLock, 0, ", a stale lock", ""},
      {s1, "/dev/ttyS1", 57600, 0, 0, "", ""},
      {s1, "/dev/ttyS1", 38400, 0, 0, "", ""},
      {s1, "/dev/ttyS1", 300, 0, 0, "", ""},
      {s1, "/dev/ttyS1", 12345, 0, 1, "", nearest + "12800 bit/s\n"},
      {s1, "/dev/ttyS1", 5000000, 0, 1, "",
       kSpeed + std::string("; the fastest it runs is 115200 bit/s\n")},
      {s1, "/dev/ttyS1", 9600, kLiveLock | kNeverOpen, 1, ", a live lock",
       busy + "; lock file /run/lock/LCK..ttyS1)\n"},
      {s1, "/dev/ttyS1", 9600, kHeld | kNeverOpen, 1, ", held open", busy + ")\n"},
      {s1, "/dev/ttyS0", 9600, kNeverOpen, 1, "",
       "quorvel-setup: %s: nothing answers on this port (an adapter unplugged, or a port this "
       "computer does not have)\n"},
      {s2, "/dev/ttyS2", 9600, kFlood, 2, ", a line never quiet, held, ESC", ""},
      {s3, "/dev/ttyS3", 75, kPaced, 0, ", the echo at the line's pace", ""},
      {u0, "/dev/ttyUSB0", 9600, 0, 0, "", ""},
      {u0, "/dev/ttyUSB0", 115200, kStaleLock, 0, ", a stale lock", ""},
      {u0, "/dev/ttyUSB0", 57600, 0, 0, "", ""},
      {u0, "/dev/ttyUSB0", 38400, 0, 0, "", ""},
      {u0, "/dev/ttyUSB0", 300, 0, 0, "", ""},
      {u0, "/dev/ttyUSB0", 5000000, 0, 1, "", kSpeed + std::string("\n")},
      {u0, "/dev/ttyUSB0", 75, 0, 1, "", nearest + "415 bit/s\n"},
      {u0, "/dev/ttyUSB0", 9600, kLiveLock | kNeverOpen, 1, ", a live lock",
       busy + "; lock file /run/lock/LCK..ttyUSB0)\n"},
      {u0, "/dev/ttyUSB7", 9600, kNeverOpen, 1, "",
       "quorvel-setup: %s: no such port. Serial ports here: /dev/ttyS1 (serial), /dev/ttyS2 "
       "(serial), /dev/ttyS3 (serial), /dev/ttyUSB0 (QEMU USB SERIAL), /dev/ttyUSB1 (QEMU USB "
       "SERIAL)\n"},
      {u0, "/dev/ttyUSB0", 9600, kReplug, 0, ", pulled out and plugged back in",
       "quorvel-setup: %1$s: the port has gone; plug it back in, or press ESC\n"
       "quorvel-setup: %1$s: the port is back; starting again from the unlock\n"},
      {u1, "/dev/ttyUSB1", 9600, kFlood, 2, ", a line never quiet, held, ESC", ""},
      {s3, "/dev/ttyS3", 9600, kBench | kPaced, 0, ", the benchmark, the echo at the line's pace",
       ""},
      {s1, "/dev/ttyS1", 9600, kBench, 0, ", the benchmark, the echo at once", ""},
  };
  unsigned passed = 0;
  unsigned failures = 0;
  const char* only = std::getenv("QUORVEL_QEMU_CASES");
  for (const Row& row : rows) {
    const std::string name = format("%s: %u bit/s", row.device, row.baud) + row.what;
    if (only != nullptr && name.find(only) == std::string::npos) {
      continue;
    }
    g.why.clear();
    const long long started = now_ms();
    run(row);
    (g.why.empty() ? passed : failures) += 1;
    std::printf("%s %s (%.1f s)%s%s\n", g.why.empty() ? "ok  " : "FAIL", name.c_str(),
                (now_ms() - started) / 1000.0, g.why.empty() ? "" : "\n     ", g.why.c_str());
    std::fflush(stdout);
  }
  std::printf("%u passed, %u failed\n", passed, failures);
  return failures == 0 ? 0 : 1;
}
