// The tool on the kernel's own serial drivers in a QEMU guest: 16550s on the 8250 driver
// (/dev/ttyS1-3) and FTDI adapters on ftdi_sio (/dev/ttyUSB0-1), each with quorvel-sim on its
// far end. QEMU's trace of the 16550s' registers and the adapters' requests and transfers
// shows the modem lines, the rate and every byte each port sent.
// Usage: qemu_driver_tests KERNEL INITRD WORKDIR QUORVEL_SIM
// Prints one line per case and "N passed, M failed"; exits 1 when any case failed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

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
constexpr int kEscStatus = 0;

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
  std::stringstream text;
  text << file.rdbuf();
  return text.str().substr(std::min(from, text.str().size()));
}

// The modem lines, rate and bytes of one kind of port, as the trace shows them. The counts
// are the current case's.
struct Lines {
  bool dtr = false, rts = false, dlab = false;
  unsigned raises = 0, bytes = 0, bytes_up = 0, rate_sets = 0, rate = 0;
};

// A simulated unit on the far end of one port.
struct Far {
  std::string link, wire, log;
  std::size_t wire_at = 0;  // the wire's size when the case began
};

struct Port {
  const char* device;
  bool usb;
  Far* far;
};

struct Channel {
  int in = -1, out = -1;  // to QEMU, from QEMU
  std::string got;
};

struct Stage {
  std::string work, why;  // why: the current case's failures
  Channel agent, monitor;
  int trace_fd = -1, seq = 0;
  std::string trace_rest;
  std::set<std::string> out_transfers;  // xHCI transfers to an adapter's bulk-out endpoint
  Lines uart, usb;
  Far s1, s2, s3, u0, u1;
};

Stage g;

bool check(bool ok, const std::string& what) {
  if (!ok) {
    g.why += (g.why.empty() ? "" : "; ") + what;
  }
  return ok;
}

// Starts a program that dies with this one, its output in log.
pid_t spawn(const std::vector<std::string>& args, const std::string& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// QEMU's pipe chardev: it reads NAME.in and writes NAME.out.
bool open_channel(Channel& channel, const std::string& name) {
  mkfifo((name + ".in").c_str(), 0600);
  mkfifo((name + ".out").c_str(), 0600);
  // Read-write, so that neither open waits for QEMU.
  channel.in = open((name + ".in").c_str(), O_RDWR | O_CLOEXEC);
  channel.out = open((name + ".out").c_str(), O_RDWR | O_CLOEXEC);
  return channel.in < 0 || channel.out < 0;
}

// Adds what the channel has to its text; false when nothing came before the deadline.
bool read_more(Channel& channel, long long deadline) {
  pollfd p{channel.out, POLLIN, 0};
  std::array<char, 4096> buffer{};
  const long long left = deadline - now_ms();
  if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
    return false;
  }
  const ssize_t n = read(channel.out, buffer.data(), buffer.size());
  channel.got.append(buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
  return n > 0;
}

bool read_until(Channel& channel, const std::string& what, long long deadline) {
  while (channel.got.find(what) == std::string::npos) {
    if (!read_more(channel, deadline)) {
      return false;
    }
  }
  return true;
}

bool send(Channel& channel, const std::string& line) {
  return write(channel.in, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

// Runs one shell command line in the guest's agent. Returns its status, or -1 when no answer
// came within seconds; output gets what it printed.
int guest_status(const std::string& command, std::string* output = nullptr, int seconds = 30) {
  const std::string head = "@@" + std::to_string(++g.seq) + " ";
  const long long deadline = now_ms() + seconds * 1000LL;
  if (!send(g.agent, std::to_string(g.seq) + " " + command + "\n") ||
      !read_until(g.agent, head, deadline)) {
    return -1;
  }
  // An answer that came too late for an earlier command is dropped with what precedes it.
  g.agent.got.erase(0, g.agent.got.find(head));
  int status = -1;
  std::size_t count = 0;
  if (!read_until(g.agent, "\n", deadline) ||
      std::sscanf(g.agent.got.c_str() + head.size(), "%d %zu", &status, &count) != 2) {
    return -1;
  }
  const std::size_t body = g.agent.got.find('\n') + 1;
  while (g.agent.got.size() < body + count) {
    if (!read_more(g.agent, deadline)) {
      return -1;
    }
  }
  if (output != nullptr) {
    *output = g.agent.got.substr(body, count);
  }
  g.agent.got.erase(0, body + count);
  return status;
}

// Runs a command that must succeed and gives its output.
std::string guest(const std::string& command, int seconds = 30) {
  std::string output;
  const int status = guest_status(command, &output, seconds);
  check(status == 0, "`" + command + "` gave " + std::to_string(status) + ": " + output);
  return output;
}

bool monitor(const std::string& command) {
  g.monitor.got.clear();
  const bool answered = send(g.monitor, command + "\n") &&
                        read_until(g.monitor, "\n", now_ms() + 20000) &&
                        read_until(g.monitor, "(qemu) ", now_ms() + 20000);
  // Past the echo of the command, the monitor says something only when it failed.
  std::string said = g.monitor.got.substr(g.monitor.got.find('\n') + 1);
  said.erase(said.rfind("(qemu) "));
  return check(answered && said.find_first_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos,
               command + ": " + said);
}

void set_lines(Lines& lines, bool dtr, bool rts) {
  lines.dtr = dtr;
  lines.rts = rts;
  lines.raises += dtr || rts ? 1 : 0;
}

void sent(Lines& lines, unsigned count) {
  lines.bytes += count;
  lines.bytes_up += lines.dtr || lines.rts ? count : 0;
}

// One trace line, "EVENT ARGS". The 16550s' events name no port: only the port under test may
// be busy among them (the agent is on virtio).
void apply(const std::string& line) {
  const char* event = line.c_str();
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
    // Endpoint 2 out is the adapter's data to the line (xHCI numbers it 4).
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

Lines& lines_of(const Port& port) {
  if (g.trace_fd < 0) {
    g.trace_fd = open((g.work + "/trace.log").c_str(), O_RDONLY | O_CLOEXEC);
  }
  std::array<char, 65536> buffer{};
  ssize_t n = 0;
  while (g.trace_fd >= 0 && (n = read(g.trace_fd, buffer.data(), buffer.size())) > 0) {
    g.trace_rest.append(buffer.data(), static_cast<std::size_t>(n));
  }
  std::size_t start = 0;
  for (std::size_t end = 0; (end = g.trace_rest.find('\n', start)) != std::string::npos;
       start = end + 1) {
    apply(g.trace_rest.substr(start, end - start));
  }
  g.trace_rest.erase(0, start);
  return port.usb ? g.usb : g.uart;
}

// The start of a case on port: its trace counts and its unit's wire from now on.
void begin(const Port& port) {
  Lines& lines = lines_of(port);
  lines = Lines{lines.dtr, lines.rts, lines.dlab};
  port.far->wire_at = read_file(port.far->wire).size();
}

std::string wire_since(const Port& port) {
  return read_file(port.far->wire, port.far->wire_at);
}

std::string unit_state(const Port& port) {
  const std::string log = read_file(port.far->log);
  const std::size_t at = log.rfind("\nline ");
  return at == std::string::npos ? "" : log.substr(at + 1, log.find('\n', at + 1) - at - 1);
}

void start_tool(int slot, const std::string& args, int seconds = 60) {
  guest("start " + std::to_string(slot) + " " + std::to_string(seconds) + " " + args);
}

int finish_tool(int slot) {
  return guest_status("finish " + std::to_string(slot), nullptr, 200);
}

std::string run_args(const Port& port, unsigned baud, unsigned line_ms) {
  return format("-c %s -b %u -l %u ", port.device, baud, line_ms) + kSettings;
}

void wait_text(int slot, const char* stream, const std::string& text, int count, int seconds) {
  const std::string file = "/tmp/" + std::string(stream) + std::to_string(slot);
  check(guest_status("waitfor " + file + " '" + text + "' " + std::to_string(count) + " " +
                         std::to_string(seconds),
                     nullptr, seconds + 30) == 0,
        "no \"" + text + "\" x" + std::to_string(count) + " in " + file);
}

// What a run that ended "All done" must show: the unit programmed byte for byte with DTR and
// RTS down for every byte, the lines down again and the lock file gone.
void expect_unit_loaded(const Port& port, unsigned baud, const std::string& wire) {
  const Lines lines = lines_of(port);
  check(wire == kWire, "wire: " + wire);
  check(unit_state(port) == kUnitState, "unit: " + unit_state(port));
  check(lines.raises > 0 && lines.bytes >= wire.size(),
        "the trace shows " + std::to_string(lines.raises) + " raises and " +
            std::to_string(lines.bytes) + " bytes (not read?)");
  check(lines.bytes_up == 0, std::to_string(lines.bytes_up) + " bytes sent with DTR or RTS up");
  check(!lines.dtr && !lines.rts, "DTR or RTS up after the run");
  // The 16550's divisor makes these rates exactly; FTDI's chip, as QEMU does, rounds its own
  // divisor (115384 for 115200).
  const unsigned tolerance = port.usb ? baud / 200 : 0;
  check(lines.rate_sets > 0 && lines.rate + tolerance >= baud && lines.rate <= baud + tolerance,
        "the port ran at " + std::to_string(lines.rate));
  check(guest_status(std::string("test -e /run/lock/LCK..") + (port.device + 5)) != 0,
        "the lock file outlived the run");
}

void expect_full_run(const Port& port, int slot, unsigned baud) {
  const int status = finish_tool(slot);
  const std::string out = guest("cat /tmp/o" + std::to_string(slot));
  const std::string err = guest("cat /tmp/e" + std::to_string(slot));
  check(status == 0, "status " + std::to_string(status));
  check(out == format(kFullRun, port.device, baud), "stdout: " + out);
  check(err.empty(), "stderr: " + err);
  expect_unit_loaded(port, baud, wire_since(port));
}

// Runs that differ in values only. A reason is the line a refusal writes on standard error
// (%s the port); without one, the run must program the unit.
constexpr unsigned kStaleLock = 1;  // a dead process's lock file on the port first
constexpr unsigned kLiveLock = 2;   // a live process's lock file on it, so nothing is opened
constexpr unsigned kNeverOpen = 4;  // refused before the device is opened: no line raised

struct Run {
  const Port* port;
  const char* device;  // the port's, when null
  unsigned baud;
  unsigned flags;
  const char* reason;
};

void run_row(const Run& row) {
  const Port& port = *row.port;
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
  start_tool(1, run_args(Port{device.c_str(), port.usb, port.far}, row.baud, 0));
  if (row.reason == nullptr) {
    expect_full_run(port, 1, row.baud);
    return;
  }
  const long long started = now_ms();
  const int status = finish_tool(1);
  check(now_ms() - started < 10000, "took " + std::to_string(now_ms() - started) + " ms");
  check(status == 1, "status " + std::to_string(status));
  const std::string out = guest("cat /tmp/o1");
  check(out == format(kRefused, device, row.baud), "stdout: " + out);
  const std::string err = guest("cat /tmp/e1");
  check(
      err == format(row.reason, device, row.baud, static_cast<unsigned>(std::atoi(holder.c_str()))),
      "stderr: " + err);
  check(wire_since(port).empty(), "the unit received bytes");
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
void held_run(const Port& port) {
  const std::string lock = std::string("/run/lock/LCK..") + (port.device + 5);
  begin(port);
  start_tool(1, run_args(port, 9600, 0));
  wait_text(1, "o", kFailed, 1, 10);
  std::array<char, 16> pid{};
  std::snprintf(pid.data(), pid.size(), "%10d\n", std::atoi(guest("cat /tmp/p1").c_str()));
  check(guest("cat " + lock) == pid.data(), "the lock does not hold the PID");
  lines_of(port).raises = 0;
  start_tool(2, std::string("-c ") + port.device + " -l 0");
  check(finish_tool(2) == 1, "the second instance was not refused");
  check(guest("cat /tmp/o2") == format(kRefused, port.device, 9600), "second stdout");
  check(lines_of(port).raises == 0, "the second instance raised DTR or RTS");
  guest(std::string("exec 7<") + port.device);
  // The attempt after the one under way lowers them again.
  const int shown = std::atoi(guest("grep -c 'Failed' /tmp/o1").c_str());
  wait_text(1, "o", kFailed, shown + 2, 10);
  guest("exec 7<&-");
  const Lines lines = lines_of(port);
  check(lines.raises > 0, "the other program's open raised nothing (no test)");
  check(!lines.dtr && !lines.rts, "DTR or RTS not lowered again");
  guest("key 1 '\\033'");
  check(finish_tool(1) == kEscStatus, "ESC did not end the run");
  check(ends_with(guest("cat /tmp/o1"), kAborted), "stdout: " + guest("cat /tmp/o1"));
  check(guest_status("test -e " + lock) != 0, "the lock file outlived the run");
}

// The adapter pulled out in the middle of a run and plugged back in.
void replug(const Port& port) {
  begin(port);
  start_tool(1, run_args(port, 9600, 100));
  wait_text(1, "o", "Done", 3, 10);
  monitor("device_del adapter");
  wait_text(1, "e", "the port has gone", 1, 10);
  wait_text(1, "o", kFailed, 1, 10);
  monitor("device_add usb-serial,chardev=u0,id=adapter");
  wait_text(1, "e", "the port is back", 1, 20);
  check(finish_tool(1) == 0, "the run did not go on to its end");
  check(ends_with(guest("cat /tmp/o1"), "All done without errors\n"), "stdout");
  check(guest("cat /tmp/e1") ==
            format("quorvel-setup: %1$s: the port has gone; plug it back in, or press ESC\n"
                   "quorvel-setup: %1$s: the port is back\n",
                   port.device, 0),
        "stderr: " + guest("cat /tmp/e1"));
  check(unit_state(port) == kUnitState, "unit: " + unit_state(port));
  check(lines_of(port).bytes_up == 0, "bytes sent with DTR or RTS up");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s KERNEL INITRD WORKDIR QUORVEL_SIM\n", argv[0]);
    return 2;
  }
  g.work = argv[3];
  const long long booted = now_ms();
  std::vector<std::string> qemu = {"qemu-system-x86_64",
                                   "-machine",
                                   "q35",
                                   "-m",
                                   "256",
                                   "-nodefaults",
                                   "-display",
                                   "none",
                                   "-no-reboot",
                                   "-kernel",
                                   argv[1],
                                   "-initrd",
                                   argv[2],
                                   "-append",
                                   "console=tty0 panic=-1 quiet",
                                   "-device",
                                   "virtio-serial-pci",
                                   "-chardev",
                                   "pipe,id=agent,path=" + g.work + "/agent",
                                   "-device",
                                   "virtconsole,chardev=agent",
                                   "-monitor",
                                   "pipe:" + g.work + "/monitor",
                                   "-device",
                                   "qemu-xhci",
                                   "-trace",
                                   "events=" + g.work + "/events",
                                   "-D",
                                   g.work + "/trace.log"};
  // Each unit's name (its chardev in QEMU), the unit and its quorvel-sim options.
  const std::vector<std::tuple<const char*, Far*, std::vector<std::string>>> fars = {
      {"s1", &g.s1, {}},
      {"s2", &g.s2, {"--flood", "--silent"}},
      {"s3", &g.s3, {"--pace", "line"}},
      {"u0", &g.u0, {}},
      {"u1", &g.u1, {"--flood", "--silent"}}};
  bool failed =
      open_channel(g.agent, g.work + "/agent") || open_channel(g.monitor, g.work + "/monitor");
  for (const auto& [name, far, mode] : fars) {
    far->link = g.work + "/" + name + ".link";
    far->wire = g.work + "/" + name + ".wire";
    far->log = g.work + "/" + name + ".log";
    std::vector<std::string> args = {argv[4], "--link", far->link, "--wire", far->wire};
    args.insert(args.end(), mode.begin(), mode.end());
    failed = failed || spawn(args, far->log) < 0;
    qemu.insert(qemu.end(), {"-chardev", std::string("serial,id=") + name + ",path=" + far->link});
  }
  qemu.insert(
      qemu.end(),
      {"-device", "isa-serial,index=1,chardev=s1", "-device", "isa-serial,index=2,chardev=s2",
       "-device", "isa-serial,index=3,chardev=s3", "-device", "usb-serial,chardev=u0,id=adapter"});
  std::ofstream(g.work + "/events") << "serial_write\nserial_update_parameters\n"
                                       "usb_serial_handle_control\nusb_serial_set_baud\n"
                                       "usb_xhci_xfer_start\nusb_xhci_xfer_success\n";
  // Each unit says its link's path once the link is there.
  for (const auto& [name, far, mode] : fars) {
    for (int i = 0; i < 100 && read_file(far->log).find('\n') == std::string::npos; ++i) {
      usleep(50000);
    }
  }
  const pid_t qemu_pid = failed ? -1 : spawn(qemu, g.work + "/qemu.log");
  if (qemu_pid < 0 || !read_until(g.agent, "@@READY\n", now_ms() + 90000) ||
      !read_until(g.monitor, "(qemu) ", now_ms() + 10000)) {
    std::printf("the guest did not start (see qemu.log): %s\n0 passed, 1 failed\n",
                g.agent.got.c_str());
    return 1;
  }
  g.agent.got.clear();
  std::printf("guest up in %.1f s\n", (now_ms() - booted) / 1000.0);
  const Port s1{"/dev/ttyS1", false, &g.s1}, s2{"/dev/ttyS2", false, &g.s2},
      s3{"/dev/ttyS3", false, &g.s3}, u0{"/dev/ttyUSB0", true, &g.u0},
      u1{"/dev/ttyUSB1", true, &g.u1};
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
  // At 75 bit/s every echo takes longer than a second: that run goes on beside the adapter's
  // cases, which no 16550 event can disturb.
  long long slow_started = 0;
  run_case("/dev/ttyS3: 75 bit/s, the echo paced at the line's rate: started", [&] {
    begin(s3);
    slow_started = now_ms();
    start_tool(3, run_args(s3, 75, 0), 180);
  });
  for (const Run& row : runs) {
    if (row.port->usb) {
      run_case(format("%s: %u bit/s", row.device ? row.device : row.port->device, row.baud) +
                   (row.flags & kLiveLock ? ", a live lock" : "") +
                   (row.flags & kStaleLock ? ", a stale lock" : ""),
               [&] { run_row(row); });
    }
  }
  run_case("/dev/ttyUSB0: pulled out and plugged back in", [&] { replug(u0); });
  run_case("/dev/ttyUSB1: a line never quiet, held: locks, a second instance, ESC", [&] {
    monitor("device_add usb-serial,chardev=u1,id=flooder");
    guest("waitdev /dev/ttyUSB1");
    held_run(u1);
  });
  run_case("/dev/ttyS3: 75 bit/s: done at the line's pace", [&] {
    expect_full_run(s3, 3, 75);
    const long long took = now_ms() - slow_started;
    const long long wire_ms = std::strlen(kWire) * 10 * 1000 / 75;
    check(took >= wire_ms,
          "took " + std::to_string(took) + " ms, less than the echo's " + std::to_string(wire_ms));
  });
  for (const Run& row : runs) {
    if (!row.port->usb) {
      run_case(format("%s: %u bit/s", row.device ? row.device : row.port->device, row.baud) +
                   (row.flags & kLiveLock ? ", a live lock" : "") +
                   (row.flags & kStaleLock ? ", a stale lock" : ""),
               [&] { run_row(row); });
    }
  }
  run_case("/dev/ttyS2: a line never quiet, held: locks, a second instance, ESC",
           [&] { held_run(s2); });
  kill(qemu_pid, SIGKILL);
  waitpid(qemu_pid, nullptr, 0);
  std::printf("%u passed, %u failed\n", passed, failures);
  return failures == 0 ? 0 : 1;
}
