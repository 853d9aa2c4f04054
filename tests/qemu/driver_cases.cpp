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
#include <functional>
#include <set>
#include <string>
#include <tuple>

namespace {

// What every run programs, and what the tool and the unit show for it.
constexpr char kSettings[] = "-t 12:30:45 -d '7\\12\\2009' -1 5,90,3 -2 4,80,2,1 -a 0";
constexpr char kFullRun[] =
    "Quorvel Setup\n Opened COM port                : %s\n                                  %u "
    "baud\n Timings: between chars         : 0 ms\n          between lines         : %u ms\n"
    " Time                           : 12:30:45\n Date                           : 7\\12\\2009\n"
    " Out1                   minimum : 5\n                        maximum : 90\n"
    "                    puls length : 3x10ms=30ms\n Out2                   minimum : 4\n"
    "                        maximum : 80\n                    puls length : 2x10ms=20ms\n"
    "                    waittime    : 1x10ms=10ms\nSending data\n"
    " - Try unlock                   : Done\n - Stop time               { 6} : Done\n"
    " - Set output 1, minimum   { 7} : Done\n - Set output 1, maximum   { 8} : Done\n"
    " - Set output 1, puls len  { 9} : Done\n - Set output 2, minimum   {10} : Done\n"
    " - Set output 2, maximum   {11} : Done\n - Set output 2, puls len  {12} : Done\n"
    " - Set output 2, waittime  {13} : Done\n - Set seconds             { 1} : Done\n"
    " - Set minutes             { 2} : Done\n - Set hours               { 3} : Done\n"
    " - Set year                { 4} : Done\n - Set month               { 5} : Done\n"
    " - Set day                 { 6} : Done\n - Try lock                     : Done\n"
    "All done without errors\n";
constexpr char kWire[] =
    "\r958:1\r\r\r6:0\r\r\r7:5\r\r\r8:90\r\r\r9:3\r\r\r10:4\r\r\r11:80\r\r\r12:2\r\r\r13:1\r\r"
    "\r1:45\r\r\r2:30\r\r\r3:12\r\r\r4:9\r\r\r5:12\r\r\r6:7\r\r\r958:0\r\r";
constexpr char kUnitState[] =
    "line \"958:0\" applied: clock 12:30:45 date 7\\12\\2009 running locked out1 5,90,3 out2 "
    "4,80,2,1";
constexpr char kRefused[] = "Quorvel Setup\n\n! Unable to open COM port: %s, %u\n";
constexpr char kFailed[] = "Failed (press ESC to exit)";
constexpr char kAborted[] = "User abort\n!! Failed !!\n";
constexpr int kEscStatus = 2;

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
  unsigned raises = 0, bytes = 0, bytes_up = 0, rate_sets = 0, rate = 0;
};

// A port and the simulated unit on its far end.
struct Port {
  const char* device;
  bool usb = false;
  std::string wire = "", log = "";  // what the unit received, and its log
  std::size_t wire_at = 0;          // the wire's size when the case began
  std::string lock() const { return std::string("/run/lock/LCK..") + (device + 5); }
};

struct Channel {
  int in = -1, out = -1;  // QEMU's pipe chardev: it reads NAME.in and writes NAME.out
  std::string got;
};

struct Stage {
  std::string why;  // the current case's failures
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

// Reads from the channel until its text holds what; false when it did not by the deadline.
bool read_until(Channel& channel, const std::string& what, long long deadline) {
  while (channel.got.find(what) == std::string::npos) {
    pollfd p{channel.out, POLLIN, 0};
    std::array<char, 4096> buffer{};
    const long long left = deadline - now_ms();
    const ssize_t n = left > 0 && poll(&p, 1, static_cast<int>(left)) > 0
                          ? read(channel.out, buffer.data(), buffer.size())
                          : -1;
    if (n <= 0) {
      return false;
    }
    channel.got.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return true;
}

bool send(Channel& channel, const std::string& line) {
  return write(channel.in, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

// Runs one shell command line in the guest's agent. Returns its status, or -1 when no answer
// came within seconds; output gets what it printed.
int guest_status(const std::string& command, std::string* output = nullptr, int seconds = 30) {
  const std::string mark = "\n@@" + std::to_string(++g.seq) + " ";
  std::string& got = g.agent.got;
  if (!send(g.agent, std::to_string(g.seq) + " " + command + "\n") ||
      !read_until(g.agent, mark, now_ms() + seconds * 1000LL) ||
      !read_until(g.agent, "@@\n", now_ms() + seconds * 1000LL)) {
    return -1;
  }
  // What came before is this command's output, after any late answer to an earlier one.
  const std::size_t at = got.find(mark);
  const std::size_t from = got.rfind("@@\n", at) + 1;  // npos + 1 is 0
  if (output != nullptr) {
    *output = got.substr(from == 0 ? 0 : from + 2, at - (from == 0 ? 0 : from + 2));
  }
  const int status = std::atoi(got.c_str() + at + mark.size());
  got.erase(0, got.find("@@\n", at) + 3);
  return status;
}

// Runs a command that must succeed and gives its output.
std::string guest(const std::string& command) {
  std::string output;
  const int status = guest_status(command, &output);
  check(status == 0, "`" + command + "` gave " + std::to_string(status) + ": " + output);
  return output;
}

bool monitor(const std::string& command) {
  g.monitor.got.clear();
  const bool answered = send(g.monitor, command + "\n") &&
                        read_until(g.monitor, "\n", now_ms() + 20000) &&
                        read_until(g.monitor, "(qemu) ", now_ms() + 20000);
  // Between the echo of the command and the next prompt the monitor speaks only of failures.
  std::string said = g.monitor.got.substr(g.monitor.got.find('\n') + 1);
  said.erase(std::min(said.size(), said.rfind("(qemu) ")));
  return check(answered && said.find_first_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos,
               command + ": " + said);
}

void set_lines(Lines& lines, bool dtr, bool rts) {
  lines.dtr = dtr;
  lines.rts = rts;
  lines.raises += dtr || rts ? 1 : 0;
}

void sent(Lines& lines, unsigned count) {
  lines.bytes_up += lines.dtr || lines.rts ? count : 0;
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

// The port's kind's lines, with the trace read up to now.
Lines& lines_of(const Port& port) {
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
  return port.usb ? g.usb : g.uart;
}

// The start of a case on port: its trace counts and its unit's wire from now on.
void begin(Port& port) {
  Lines& lines = lines_of(port);
  lines = Lines{lines.dtr, lines.rts, lines.dlab};
  port.wire_at = read_file(port.wire).size();
}

std::string unit_state(const Port& port) {
  const std::string log = read_file(port.log);
  const std::size_t at = log.rfind("\nline ");
  return at == std::string::npos ? "" : log.substr(at + 1, log.find('\n', at + 1) - at - 1);
}

void start_tool(int slot, const std::string& args, int seconds = 60) {
  guest("start " + std::to_string(slot) + " " + std::to_string(seconds) + " " + args);
}

int finish_tool(int slot) {
  return guest_status("finish " + std::to_string(slot), nullptr, 200);
}

std::string run_args(const std::string& device, unsigned baud, unsigned line_ms) {
  return format("-c %s -b %u -l %u ", device, baud, line_ms) + kSettings;
}

void wait_text(int slot, const char* stream, const std::string& text, int count, int seconds) {
  const std::string file = "/tmp/" + std::string(stream) + std::to_string(slot);
  check(guest_status(
            format("waitfor %2$u has %1$s '", file, seconds) + text + "' " + std::to_string(count),
            nullptr, seconds + 30) == 0,
        "no \"" + text + "\" x" + std::to_string(count) + " in " + file);
}

// A run that must program the unit: the transcript, the unit loaded byte for byte with DTR and
// RTS down for every byte, the rate asked for, the lines down again and the lock file gone.
void expect_full_run(Port& port, int slot, unsigned baud) {
  const int status = finish_tool(slot);
  const std::string out = guest("cat /tmp/o" + std::to_string(slot));
  const std::string err = guest("cat /tmp/e" + std::to_string(slot));
  const std::string wire = read_file(port.wire, port.wire_at);
  const Lines lines = lines_of(port);
  check(status == 0, "status " + std::to_string(status));
  check(out == format(kFullRun, port.device, baud), "stdout: " + out);
  check(err.empty(), "stderr: " + err);
  check(wire == kWire, "wire: " + wire);
  check(unit_state(port) == kUnitState, "unit: " + unit_state(port));
  check(lines.raises > 0 && lines.bytes >= wire.size(),
        format("the trace shows %2$u raises and %3$u bytes (not read?)", "", lines.raises,
               lines.bytes));
  check(lines.bytes_up == 0, std::to_string(lines.bytes_up) + " bytes sent with DTR or RTS up");
  check(!lines.dtr && !lines.rts, "DTR or RTS up after the run");
  // The 16550's divisor makes these rates exactly; FTDI's chip, as QEMU does, rounds its own
  // divisor (115384 for 115200).
  const unsigned tolerance = port.usb ? baud / 200 : 0;
  check(lines.rate_sets > 0 && lines.rate + tolerance >= baud && lines.rate <= baud + tolerance,
        "the port ran at " + std::to_string(lines.rate));
  check(guest_status("test -e " + port.lock()) != 0, "the lock file outlived the run");
}

// Runs that differ in values only. A reason is the line a refusal writes on standard error
// (%1$s the port, %2$u the speed, %3$u the lock's PID); without one, the run must program the
// unit.
constexpr unsigned kStaleLock = 1;  // a dead process's lock file on the port first
constexpr unsigned kLiveLock = 2;   // a live process's lock file on it
constexpr unsigned kNeverOpen = 4;  // refused before the device is opened: no line raised

struct Run {
  Port* port;
  const char* device;  // the port's, when null
  unsigned baud;
  unsigned flags;
  const char* reason;
};

void run_row(const Run& row) {
  Port& port = *row.port;
  const std::string device = row.device != nullptr ? row.device : port.device;
  const std::string lock = "/run/lock/LCK.." + device.substr(5);
  std::string holder = "99999";
  if ((row.flags & kLiveLock) != 0) {
    holder = guest("sleep 60 >/dev/null 2>&1 & echo $!");
    holder.erase(holder.find_last_not_of('\n') + 1);
  }
  if ((row.flags & (kStaleLock | kLiveLock)) != 0) {
    guest("printf '%10d\\n' " + holder + " >" + lock);
  }
  begin(port);
  start_tool(1, run_args(device, row.baud, 0));
  if (row.reason == nullptr) {
    expect_full_run(port, 1, row.baud);
    return;
  }
  const long long started = now_ms();
  const int status = finish_tool(1);
  check(now_ms() - started < 10000, "took " + std::to_string(now_ms() - started) + " ms");
  check(status == 1, "status " + std::to_string(status));
  const std::string out = guest("cat /tmp/o1");
  const std::string err = guest("cat /tmp/e1");
  check(out == format(kRefused, device, row.baud), "stdout: " + out);
  check(err == format(row.reason, device, row.baud, std::stoul(holder)), "stderr: " + err);
  check(read_file(port.wire, port.wire_at).empty(), "the unit received bytes");
  const Lines lines = lines_of(port);
  check((row.flags & kNeverOpen) == 0 ? !lines.dtr && !lines.rts : lines.raises == 0,
        "DTR or RTS raised or left up");
  check((row.flags & kLiveLock) == 0 || guest_status("test -e " + lock) == 0,
        "another program's lock was removed");
  guest("rm -f " + lock + ((row.flags & kLiveLock) != 0 ? "; kill " + holder : ""));
}

// A run held on a line that never goes quiet: its own lock file, a second instance refused
// without raising a line, and the lines lowered again after a root program opened the port
// (root passes TIOCEXCL; the kernel raises both inside its open).
void held_run(Port& port) {
  begin(port);
  start_tool(1, run_args(port.device, 9600, 0));
  wait_text(1, "o", kFailed, 1, 10);
  const unsigned pid = std::stoul("0" + guest("cat /tmp/p1"));
  check(guest("cat " + port.lock()) == format("%2$10u\n", "", pid), "the lock holds no PID");
  lines_of(port).raises = 0;
  start_tool(2, std::string("-c ") + port.device + " -l 0");
  check(finish_tool(2) == 1, "the second instance was not refused");
  check(guest("cat /tmp/o2") == format(kRefused, port.device, 9600), "second stdout");
  check(lines_of(port).raises == 0, "the second instance raised DTR or RTS");
  guest(std::string("exec 7<") + port.device);
  // The attempt after the one under way lowers them again.
  const unsigned shown = std::stoul(guest("grep -c 'Failed' /tmp/o1"));
  wait_text(1, "o", kFailed, static_cast<int>(shown) + 2, 10);
  guest("exec 7<&-");
  const Lines lines = lines_of(port);
  check(lines.raises > 0, "the other program's open raised nothing (no test)");
  check(!lines.dtr && !lines.rts, "DTR or RTS not lowered again");
  guest("key 1 '\\033'");
  check(finish_tool(1) == kEscStatus, "ESC did not end the run");
  check(ends_with(guest("cat /tmp/o1"), kAborted), "stdout: " + guest("cat /tmp/o1"));
  check(guest_status("test -e " + port.lock()) != 0, "the lock file outlived the run");
}

// The adapter pulled out in the middle of a run and plugged back in.
void replug(Port& port) {
  begin(port);
  start_tool(1, run_args(port.device, 9600, 100));
  wait_text(1, "o", "Done", 3, 10);
  monitor("device_del adapter");
  wait_text(1, "e", "the port has gone", 1, 10);
  wait_text(1, "o", kFailed, 1, 10);
  monitor("device_add usb-serial,chardev=u0,id=adapter");
  wait_text(1, "e", "the port is back", 1, 20);
  check(finish_tool(1) == 0, "the run did not go on to its end");
  // The unit may have come back locked: the run starts again from the unlock.
  const std::string out = guest("cat /tmp/o1");
  check(ends_with(out, "All done without errors\n") &&
            out.find("Try unlock") != out.rfind("Try unlock"),
        "stdout: " + out);
  check(guest("cat /tmp/e1") ==
            format("quorvel-setup: %1$s: the port has gone; plug it back in, or press ESC\n"
                   "quorvel-setup: %1$s: the port is back; starting again from the unlock\n",
                   port.device, 0),
        "stderr: " + guest("cat /tmp/e1"));
  check(unit_state(port) == kUnitState, "unit: " + unit_state(port));
  check(lines_of(port).bytes_up == 0, "bytes sent with DTR or RTS up");
}

// The benchmark rows: full runs at 9600 bit/s with no pauses asked for, timed on this side,
// against their floor: sixteen pauses of 20 ms, and where the unit echoes at the line's pace
// the bytes' time on the wire. It measures; it does not judge.
void bench(const Port& paced, const Port& at_once) {
  const double pauses_ms = 16 * 20.0;
  const double wire_ms = std::strlen(kWire) * 10 * 1000.0 / 9600;
  std::printf(
      "     bench: median of 5 full runs at 9600 bit/s, -a 0 -l 0; floor %.0f ms "
      "(pauses %.0f, wire %.0f)\n",
      pauses_ms + wire_ms, pauses_ms, wire_ms);
  const std::tuple<const Port*, const char*, double> rows[] = {
      {&paced, "the echo at the line's pace", pauses_ms + wire_ms},
      {&at_once, "the echo at once (against the pauses alone)", pauses_ms}};
  for (const auto& [port, name, floor_ms] : rows) {
    std::array<long long, 5> times{};
    for (long long& t : times) {
      t = now_ms();
      check(guest_status("start 1 60 " + run_args(port->device, 9600, 0) + "; finish 1") == 0,
            "a run failed");
      t = now_ms() - t;
    }
    std::sort(times.begin(), times.end());
    std::printf("     %-44s %4lld ms  %.2fx\n", name, times[2], times[2] / floor_ms);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s KERNEL INITRD WORKDIR QUORVEL_SIM\n", argv[0]);
    return 2;
  }
  const std::string work = argv[3];
  const long long booted = now_ms();
  std::string qemu =
      "qemu-system-x86_64 -machine q35 -m 256 -nodefaults -display none -no-reboot -device "
      "virtio-serial-pci -device virtconsole,chardev=agent -device qemu-xhci -device "
      "isa-serial,index=1,chardev=s1 -device isa-serial,index=2,chardev=s2 -device "
      "isa-serial,index=3,chardev=s3 -device usb-serial,chardev=u0,id=adapter -append "
      "'console=tty0 panic=-1 quiet' -kernel '" +
      std::string(argv[1]) + "' -initrd '" + argv[2] + "' -chardev pipe,id=agent,path=" + work +
      "/agent -monitor pipe:" + work + "/monitor -trace events=" + work + "/events -D " + work +
      "/trace.log";
  std::ofstream(work + "/events") << "serial_write\nserial_update_parameters\n"
                                     "usb_serial_handle_control\nusb_serial_set_baud\n"
                                     "usb_xhci_xfer_start\nusb_xhci_xfer_success\n";
  Port s1{"/dev/ttyS1"}, s2{"/dev/ttyS2"}, s3{"/dev/ttyS3"}, u0{"/dev/ttyUSB0", true},
      u1{"/dev/ttyUSB1", true};
  // Each port's chardev in QEMU, and the options of quorvel-sim on its far end.
  const std::tuple<const char*, Port*, const char*> units[] = {{"s1", &s1, ""},
                                                               {"s2", &s2, "--flood --silent"},
                                                               {"s3", &s3, "--pace line"},
                                                               {"u0", &u0, ""},
                                                               {"u1", &u1, "--flood --silent"}};
  bool failed =
      open_channel(g.agent, work + "/agent") || open_channel(g.monitor, work + "/monitor");
  for (const auto& [name, port, mode] : units) {
    const std::string base = work + "/" + name;
    port->wire = base + ".wire";
    port->log = base + ".log";
    failed = failed || spawn("'" + std::string(argv[4]) + "' --link " + base + ".link --wire " +
                                 port->wire + " " + mode,
                             base);
    qemu += std::string(" -chardev serial,id=") + name + ",path=" + base + ".link";
    // The unit's first line, once its link is there, is that link.
    for (int i = 0; i < 100 && read_file(port->log).find('\n') == std::string::npos; ++i) {
      usleep(50000);
    }
  }
  if (failed || spawn(qemu, work + "/qemu") ||
      !read_until(g.agent, "@@READY\n", now_ms() + 90000) ||
      !read_until(g.monitor, "(qemu) ", now_ms() + 10000)) {
    std::printf("the guest did not start (see qemu.log): %s\n0 passed, 1 failed\n",
                g.agent.got.c_str());
    return 1;
  }
  g.agent.got.clear();
  g.trace_fd = open((work + "/trace.log").c_str(), O_RDONLY | O_CLOEXEC);
  std::printf("guest up in %.1f s\n", (now_ms() - booted) / 1000.0);
  const std::vector<Run> runs = {
      {&s1, nullptr, 9600, 0, nullptr},
      {&s1, nullptr, 115200, kStaleLock, nullptr},
      {&s1, nullptr, 57600, 0, nullptr},
      {&s1, nullptr, 38400, 0, nullptr},
      {&s1, nullptr, 300, 0, nullptr},
      {&s1, nullptr, 12345, 0,
       "quorvel-setup: %s: the port cannot run at %u bit/s; the nearest it makes is 12800 bit/s\n"},
      {&s1, nullptr, 5000000, 0,
       "quorvel-setup: %s: the port cannot run at %u bit/s; the fastest it runs is 115200 bit/s\n"},
      {&s1, nullptr, 9600, kLiveLock | kNeverOpen,
       "quorvel-setup: %1$s: in use by another program (PID %3$u, sleep; lock file "
       "/run/lock/LCK..ttyS1)\n"},
      {&s1, "/dev/ttyS0", 9600, kNeverOpen,
       "quorvel-setup: %s: nothing answers on this port (an adapter unplugged, or a port this "
       "computer does not have)\n"},
      {&u0, nullptr, 9600, 0, nullptr},
      {&u0, nullptr, 115200, kStaleLock, nullptr},
      {&u0, nullptr, 57600, 0, nullptr},
      {&u0, nullptr, 38400, 0, nullptr},
      {&u0, nullptr, 300, 0, nullptr},
      {&u0, nullptr, 5000000, 0, "quorvel-setup: %s: the port cannot run at %u bit/s\n"},
      {&u0, nullptr, 75, 0,
       "quorvel-setup: %s: the port cannot run at %u bit/s; the nearest it makes is 415 bit/s\n"},
      {&u0, nullptr, 9600, kLiveLock | kNeverOpen,
       "quorvel-setup: %1$s: in use by another program (PID %3$u, sleep; lock file "
       "/run/lock/LCK..ttyUSB0)\n"},
      {&u0, "/dev/ttyUSB7", 9600, kNeverOpen,
       "quorvel-setup: %s: no such port. Serial ports here: /dev/ttyS1 (serial), /dev/ttyS2 "
       "(serial), /dev/ttyS3 (serial), /dev/ttyUSB0 (QEMU USB SERIAL)\n"},
  };
  unsigned passed = 0;
  unsigned failures = 0;
  const char* only = std::getenv("QUORVEL_QEMU_CASES");
  const auto run_case = [&](const std::string& name, const std::function<void()>& body) {
    if (only != nullptr && name.find(only) == std::string::npos) {
      return;
    }
    g.why.clear();
    const long long started = now_ms();
    body();
    (g.why.empty() ? passed : failures) += 1;
    std::printf("%s %s (%.1f s)%s%s\n", g.why.empty() ? "ok  " : "FAIL", name.c_str(),
                (now_ms() - started) / 1000.0, g.why.empty() ? "" : "\n     ", g.why.c_str());
    std::fflush(stdout);
  };
  const auto run_rows = [&](bool usb) {
    for (const Run& row : runs) {
      if (row.port->usb == usb) {
        const char* lock = (row.flags & kLiveLock) != 0    ? ", a live lock"
                           : (row.flags & kStaleLock) != 0 ? ", a stale lock"
                                                           : "";
        run_case(
            format("%s: %u bit/s", row.device ? row.device : row.port->device, row.baud) + lock,
            [&] { run_row(row); });
      }
    }
  };
  // At 75 bit/s each echo takes more than a second: that run goes on beside the adapter's cases,
  // which no 16550 event can disturb.
  const long long slow_started = now_ms();
  run_case("/dev/ttyS3: 75 bit/s, the echo at the line's pace: started", [&] {
    begin(s3);
    start_tool(3, run_args(s3.device, 75, 0), 180);
  });
  run_rows(true);
  run_case("/dev/ttyUSB0: pulled out and plugged back in", [&] { replug(u0); });
  run_case("/dev/ttyUSB1: a line never quiet, held: locks, a second instance, ESC", [&] {
    monitor("device_add usb-serial,chardev=u1,id=flooder");
    guest("waitfor 10 test -e /dev/ttyUSB1");
    held_run(u1);
  });
  run_case("/dev/ttyS3: 75 bit/s: done at the line's pace", [&] {
    expect_full_run(s3, 3, 75);
    // Nine tenths of the echo's time on the wire: an echo at once takes half a second.
    const long long took = now_ms() - slow_started;
    const long long echo_ms = std::strlen(kWire) * 10 * 1000 / 75;
    check(took >= echo_ms * 9 / 10,
          format("took %2$u ms; the echo alone takes %3$u", "", static_cast<unsigned>(took),
                 static_cast<unsigned>(echo_ms)));
  });
  run_rows(false);
  run_case("/dev/ttyS2: a line never quiet, held: locks, a second instance, ESC",
           [&] { held_run(s2); });
  run_case("the benchmark", [&] { bench(s3, s1); });
  std::printf("%u passed, %u failed\n", passed, failures);
  return failures == 0 ? 0 : 1;
}
