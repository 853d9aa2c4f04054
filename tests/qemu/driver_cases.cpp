// The tool on the kernel's own serial drivers: a 16550 on the 8250 driver (/dev/ttyS1) and an
// FTDI adapter on ftdi_sio (/dev/ttyUSB0) in a QEMU guest, a fake unit on the far end of each.
// Usage: qemu_driver_tests KERNEL INITRD WORKDIR
// Prints one line per case and "N passed, M failed"; exits 1 when any case failed.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "expected.h"
#include "fake_unit.h"
#include "guest.h"
#include "line_trace.h"

using namespace qemu;

namespace {

struct Port {
  const char* name;    // for the report
  const char* device;  // in the guest
  const char* lock;    // its lock file in the guest
  PortKind kind;
  FakeUnit* unit;
};

struct Context {
  Guest guest;
  FakeUnit uart, usb;
  std::string why;  // the current case's failures
};

Context g;

// Notes a failure of the current case; returns ok so checks can be chained.
bool check(bool ok, const std::string& what) {
  if (!ok) {
    g.why += (g.why.empty() ? "" : "; ") + what;
  }
  return ok;
}

std::string shell(const std::string& command, int* status = nullptr, int seconds = 60) {
  std::string output;
  const int result = guest_run(g.guest, command, output, seconds);
  if (status != nullptr) {
    *status = result;
  } else {
    check(result == 0, "`" + command + "` gave " + std::to_string(result) + ": " + output);
  }
  return output;
}

e2e::Settings settings_for(const Port& port, unsigned baud, unsigned char_ms, unsigned line_ms) {
  e2e::Settings s;
  s.port = port.device;
  s.baud = baud;
  s.char_ms = char_ms;
  s.line_ms = line_ms;
  return s;
}

std::string tool_args(const e2e::Settings& s) {
  return "-c " + s.port + " -b " + std::to_string(s.baud) +
         " -t 12:30:00 -d '7\\12\\2009' -1 0,100,0 -2 0,100,0,0 -a " + std::to_string(s.char_ms) +
         " -l " + std::to_string(s.line_ms);
}

std::string full_run_text(const e2e::Settings& s) {
  return "Quorvel Setup\n" + e2e::summary(s) + e2e::sixteen_done();
}

std::string refusal_text(const std::string& device, unsigned baud) {
  return "Quorvel Setup\n\n! Unable to open COM port: " + device + ", " + std::to_string(baud) +
         "\n";
}

// Instance n of the tool in the guest: started in the background with its keyboard on a fifo.
void start_tool(int n, const std::string& args) {
  shell("start " + std::to_string(n) + " " + args);
}

int finish_tool(int n, int seconds) {
  int status = -1;
  shell("finish " + std::to_string(n) + " " + std::to_string(seconds), &status, seconds + 30);
  return status;
}

std::string tool_out(int n) {
  return shell("cat /tmp/o" + std::to_string(n));
}
std::string tool_err(int n) {
  return shell("cat /tmp/e" + std::to_string(n));
}
std::string tool_pid(int n) {
  return shell("cat /tmp/p" + std::to_string(n));
}

// Waits until instance n's standard output (or error) holds text count times.
bool wait_text(int n, const std::string& text, int count, int seconds, bool on_err = false) {
  // The agent takes one line: a text is matched up to its first newline.
  const std::string first = text.substr(0, text.find('\n'));
  int status = -1;
  shell("waitfor " + std::to_string(n) + " '" + first + "' " + std::to_string(count) + " " +
            std::to_string(seconds) + (on_err ? " e" : " o"),
        &status, seconds + 30);
  return check(status == 0, "no \"" + first + "\" x" + std::to_string(count) + " within " +
                                std::to_string(seconds) + " s");
}

void press(int n, const std::string& keys) {
  shell("key " + std::to_string(n) + " '" + keys + "'");
}

bool file_exists(const std::string& path) {
  int status = -1;
  shell("test -e " + path, &status);
  return status == 0;
}

unsigned line_count(const std::string& text) {
  return static_cast<unsigned>(std::count(text.begin(), text.end(), '\n'));
}

// A run that must be refused before any byte or line change: the lines are never raised.
void expect_refused(const Port& port, const std::string& device, unsigned baud, bool never_opened) {
  const LineState before = unit_lines(*port.unit);
  start_tool(5, "-c " + device + " -b " + std::to_string(baud) + " -l 0");
  const long long started = now_ms();
  const int status = finish_tool(5, 20);
  check(status == 1, "exit status " + std::to_string(status));
  check(now_ms() - started < 10000, "took " + std::to_string(now_ms() - started) + " ms");
  const std::string out = tool_out(5);
  check(out == refusal_text(device, baud), "stdout: " + out);
  const std::string err = tool_err(5);
  check(err.rfind("quorvel-setup: ", 0) == 0, "stderr: " + err);
  check(unit_received(*port.unit).empty(), "the unit received bytes");
  // Refused before the device is opened, its lines are never touched; refused once open, they
  // are down again (the kernel raises both inside every open()).
  const LineState after = unit_lines(*port.unit);
  if (never_opened) {
    check(after.raises == before.raises, "DTR or RTS went up");
  } else {
    check(!after.dtr && !after.rts, "DTR or RTS left up");
  }
}

// A whole run with the unit echoing; checks the transcript, the wire and the lines.
void expect_full_run(const Port& port, const e2e::Settings& s, int seconds = 60) {
  start_tool(1, tool_args(s));
  const int status = finish_tool(1, seconds);
  check(status == 0, "exit status " + std::to_string(status));
  const std::string out = tool_out(1);
  check(out == full_run_text(s), "stdout: " + out);
  check(tool_err(1).empty(), "stderr: " + tool_err(1));
  check(unit_received(*port.unit) == e2e::clean_wire(s), "wire: " + unit_received(*port.unit));
  check(unit_bytes_while_up(*port.unit) == 0,
        std::to_string(unit_bytes_while_up(*port.unit)) + " bytes sent with DTR or RTS up");
}

// The case table ------------------------------------------------------------------------------

void full_run(const Port& port) {
  const LineState before = unit_lines(*port.unit);
  expect_full_run(port, settings_for(port, 9600, 0, 0));
  const LineState lines = unit_lines(*port.unit);
  // The tool's own open and close set the lines: a trace that shows none is not being read.
  check(lines.controls > before.controls, "the trace shows no control of the lines");
  check(!lines.dtr && !lines.rts, "DTR or RTS up after the run");
  check(!file_exists(port.lock), "the lock file outlived the run");
}

void speed_exact(const Port& port, unsigned baud) {
  expect_full_run(port, settings_for(port, baud, 0, 0), 120);
  // The 16550's divisor makes these exactly; FTDI's chip rounds its own divisor (115384 for
  // 115200), as the real adapter does.
  const std::uint32_t made = unit_lines(*port.unit).baud;
  const unsigned tolerance = port.kind == PortKind::kUart ? 0 : baud / 200;
  check(made + tolerance >= baud && made <= baud + tolerance,
        "the port ran at " + std::to_string(made));
}

void own_lock(const Port& port) {
  const e2e::Settings s = settings_for(port, 9600, 0, 300);
  start_tool(1, tool_args(s));
  wait_text(1, "Done", 2, 30);
  char expected[16];
  std::snprintf(expected, sizeof(expected), "%10d\n", std::atoi(tool_pid(1).c_str()));
  check(shell(std::string("cat ") + port.lock) == expected, "the lock does not hold the PID");
  check(finish_tool(1, 60) == 0, "the run failed");
  check(tool_out(1) == full_run_text(s), "stdout: " + tool_out(1));
  check(!file_exists(port.lock), "the lock file outlived the run");
}

void live_lock(const Port& port) {
  const std::string holder = shell("sleep 60 >/dev/null 2>&1 & echo $!");
  shell("printf '%10d\\n' " + holder.substr(0, holder.find('\n')) + " >" + port.lock);
  expect_refused(port, port.device, 9600, true);
  check(file_exists(port.lock), "another program's lock was removed");
  shell("kill " + holder.substr(0, holder.find('\n')) + "; rm -f " + port.lock);
}

void stale_lock(const Port& port) {
  shell(std::string("printf '%10d\\n' 99999 >") + port.lock);
  expect_full_run(port, settings_for(port, 9600, 0, 0));
  check(!file_exists(port.lock), "the stale lock was not taken over and removed");
}

void second_root_instance(const Port& port) {
  const e2e::Settings s = settings_for(port, 9600, 0, 300);
  start_tool(1, tool_args(s));
  wait_text(1, "Done", 2, 30);
  const LineState before = unit_lines(*port.unit);
  start_tool(5, "-c " + std::string(port.device) + " -l 0");
  check(finish_tool(5, 20) == 1, "the second instance was not refused");
  check(tool_out(5) == refusal_text(port.device, 9600), "second stdout: " + tool_out(5));
  check(unit_lines(*port.unit).raises == before.raises, "the second instance raised DTR or RTS");
  check(finish_tool(1, 60) == 0, "the first run failed");
  check(tool_out(1) == full_run_text(s), "stdout: " + tool_out(1));
  check(unit_bytes_while_up(*port.unit) == 0, "bytes sent with DTR or RTS up");
}

void root_opener(const Port& port) {
  const e2e::Settings s = settings_for(port, 9600, 0, 300);
  start_tool(1, tool_args(s));
  wait_text(1, "Done", 2, 30);
  const LineState before = unit_lines(*port.unit);
  // Root passes TIOCEXCL, and the kernel raises both lines inside its open().
  shell(std::string("sleep 2 <") + port.device + " >/dev/null 2>&1 & echo $! >/tmp/opener");
  check(finish_tool(1, 60) == 0, "the run failed");
  shell("wait $(cat /tmp/opener)", nullptr);
  check(tool_out(1) == full_run_text(s), "stdout: " + tool_out(1));
  const LineState after = unit_lines(*port.unit);
  check(after.raises > before.raises, "the other program's open raised nothing (no test)");
  check(!after.dtr && !after.rts, "DTR or RTS up at the end");
  // At most the attempt under way when the other program opened the port.
  check(unit_bytes_while_up(*port.unit) <= 12,
        std::to_string(unit_bytes_while_up(*port.unit)) + " bytes sent with DTR or RTS up");
}

void refused_speed(const Port& port, unsigned baud) {
  expect_refused(port, port.device, baud, false);
}

void never_quiet(const Port& port) {
  reset_unit(*port.unit, UnitMode::kFlood);
  start_tool(1, tool_args(settings_for(port, 9600, 0, 0)));
  const long long started = now_ms();
  wait_text(1, e2e::kFailedText, 3, 30);
  check(now_ms() - started < 15000,
        "three attempts took " + std::to_string(now_ms() - started) + " ms");
  press(1, "\\033");
  check(finish_tool(1, 20) == 2, "ESC did not end the run with status 2");
  const std::string out = tool_out(1);
  const std::string end = std::string(e2e::kUserAbortText) + "!! Failed !!\n";
  check(out.size() >= end.size() && out.compare(out.size() - end.size(), end.size(), end) == 0,
        "stdout: " + out);
  reset_unit(*port.unit, UnitMode::kEcho);
}

void missing(const Port& port, const char* device) {
  expect_refused(port, device, 9600, true);
}

void replug(const Port& port) {
  const e2e::Settings s = settings_for(port, 9600, 0, 200);
  start_tool(1, tool_args(s));
  wait_text(1, "Done", 3, 30);
  std::string answer;
  check(monitor(g.guest, "device_del adapter", answer), "device_del: " + answer);
  wait_text(1, "the port has gone", 1, 30, true);
  wait_text(1, e2e::kFailedText, 2, 30);
  const std::size_t unplugged = unit_received(*port.unit).size();
  check(monitor(g.guest, "device_add usb-serial,chardev=usb,id=adapter", answer),
        "device_add: " + answer);
  wait_text(1, "the port is back; starting again from the unlock", 1, 60, true);
  check(finish_tool(1, 60) == 0, "the run did not go on to its end");
  const std::string out = tool_out(1);
  const std::string end = e2e::kAllDoneText;
  check(out.size() > end.size() && out.compare(out.size() - end.size(), end.size(), end) == 0,
        "stdout: " + out);
  check(line_count(tool_err(1)) == 2, "stderr: " + tool_err(1));
  // A unit that came back locked holds every setting: since the replug, every line in order
  // from the unlock to the lock.
  const std::string since = unit_received(*port.unit).substr(unplugged);
  std::size_t at = 0;
  for (const std::string& line : e2e::command_lines(s)) {
    at = since.find("\r" + line + "\r", at);
    if (!check(at != std::string::npos, "not sent since the replug: " + line + " in " + since)) {
      break;
    }
  }
}

// The slow line: at 75 bit/s every attempt's echo takes longer than a second. Started on the
// UART while the USB cases run, since it takes about half a minute.
void start_slow_line(const Port& port) {
  reset_unit(*port.unit, UnitMode::kEcho, 75);
  shell("date +%s >/tmp/t6");
  start_tool(6, tool_args(settings_for(port, 75, 0, 0)));
}

void finish_slow_line(const Port& port) {
  const e2e::Settings s = settings_for(port, 75, 0, 0);
  check(finish_tool(6, 180) == 0, "the run at 75 bit/s failed");
  check(tool_out(6) == full_run_text(s), "stdout: " + tool_out(6));
  check(unit_received(*port.unit) == e2e::clean_wire(s), "wire: " + unit_received(*port.unit));
  // The echo came at the line's pace: the run took at least its bytes' time on the wire.
  const int seconds = std::atoi(shell("echo $(($(stat -c %Y /tmp/o6) - $(cat /tmp/t6)))").c_str());
  const int wire_seconds = static_cast<int>(e2e::clean_wire(s).size() * 10 / 75);
  check(seconds >= wire_seconds, "the run took " + std::to_string(seconds) + " s, less than " +
                                     std::to_string(wire_seconds) + " s of echo at 75 bit/s");
  std::printf("     the run at 75 bit/s took %d s\n", seconds);
  reset_unit(*port.unit, UnitMode::kEcho, 0);
}

// Median microseconds of full runs with the unit echoing at pace_baud (0: at once), timed on
// the guest's clock; 0 when none was timed.
long median_run_us(const Port& port, const e2e::Settings& s, std::uint32_t pace_baud) {
  std::vector<long> times;
  for (int i = 0; i < 7; ++i) {
    reset_unit(*port.unit, UnitMode::kEcho, pace_baud);
    const std::string answer = shell("t0=$(now_us); start 1 " + tool_args(s) +
                                     "; finish 1 60; st=$?; t1=$(now_us); echo $st $((t1-t0))");
    int status = -1;
    long us = 0;
    if (std::sscanf(answer.c_str(), "%d %ld", &status, &us) == 2 && check(status == 0, "run")) {
      times.push_back(us);
    }
  }
  if (times.empty()) {
    return 0;
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// The benchmark row: full runs at 9600 bit/s with no pauses asked for, against their floor. It
// measures; it does not judge.
void bench(const Port& port) {
  const e2e::Settings s = settings_for(port, 9600, 0, 0);
  // Microseconds of the guest's clock: adjtimex shows it; /proc/uptime has only hundredths.
  shell(
      "now_us() { set -- $(adjtimex | sed -n 's/.*tv_sec: *//p; s/.*tv_usec: *//p'); "
      "echo $(($1 * 1000000 + $2)); }");
  // Sixteen pauses of just over 20 ms, and the bytes' time on the wire (10 bits each).
  const double pauses_ms = 16 * 20.0;
  const double wire_ms = e2e::clean_wire(s).size() * 10 * 1000.0 / 9600;
  const double floor_ms = pauses_ms + wire_ms;
  std::printf(
      "     bench: full runs at 9600 bit/s on the 16550, -a 0 -l 0, median of 7; floor %.0f "
      "ms (pauses %.0f, wire %.0f)\n",
      floor_ms, pauses_ms, wire_ms);
  // QEMU moves the bytes at once; the unit gives the echo back its time on the wire. The 8250
  // driver has the 16550 interrupt at 8 bytes, so an echo of fewer waits for the chip's
  // timeout of 4 characters' quiet; rx_trig_bytes 1 shows the run without it. The echo at once
  // shows what the program and the emulation cost beside the pauses.
  const char* trigger = "/sys/class/tty/ttyS1/rx_trig_bytes";
  const std::string usual = shell(std::string("cat ") + trigger);
  const struct {
    const char* name;
    const char* trigger_bytes;
    std::uint32_t pace_baud;
    double against_ms;
  } rows[] = {
      {"the driver's usual receive trigger", nullptr, 9600, floor_ms},
      {"receive trigger at 1 byte", "1", 9600, floor_ms},
      {"echo at once (against the pauses alone)", nullptr, 0, pauses_ms},
  };
  for (const auto& row : rows) {
    if (row.trigger_bytes != nullptr) {
      shell(std::string("echo ") + row.trigger_bytes + " >" + trigger);
    }
    const double ms = median_run_us(port, s, row.pace_baud) / 1000.0;
    shell("echo " + usual.substr(0, usual.find('\n')) + " >" + trigger);
    if (check(ms > 0, "no run timed")) {
      std::printf("     %-44s %4.0f ms  %.2fx\n", row.name, ms, ms / row.against_ms);
    }
  }
}

constexpr unsigned kOnUart = 1;
constexpr unsigned kOnUsb = 2;
constexpr unsigned kOnBoth = kOnUart | kOnUsb;

struct Case {
  const char* name;
  unsigned ports;
  std::function<void(const Port&)> run;
  bool keeps_unit = false;  // runs on the unit as the case before left it
  bool at_end = false;      // on the UART, after the USB cases
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s KERNEL INITRD WORKDIR\n", argv[0]);
    return 2;
  }
  const long long booted = now_ms();
  std::string why;
  if (start_guest(g.guest, argv[1], argv[2], argv[3], why) ||
      start_unit(g.uart, g.guest.uart_socket, PortKind::kUart, g.guest.trace_path) ||
      start_unit(g.usb, g.guest.usb_socket, PortKind::kUsb, g.guest.trace_path) ||
      wait_ready(g.guest, why)) {
    std::printf("the guest did not start: %s\n0 passed, 1 failed\n", why.c_str());
    std::fflush(stdout);
    stop_unit(g.uart);
    stop_unit(g.usb);
    stop_guest(g.guest);
    return 1;
  }
  std::printf("guest up in %.1f s\n", (now_ms() - booted) / 1000.0);
  const Port uart{"16550 /dev/ttyS1", "/dev/ttyS1", "/run/lock/LCK..ttyS1", PortKind::kUart,
                  &g.uart};
  const Port usb{"FTDI /dev/ttyUSB0", "/dev/ttyUSB0", "/run/lock/LCK..ttyUSB0", PortKind::kUsb,
                 &g.usb};
  const std::vector<Case> cases = {
      {"the full run byte for byte, lines down", kOnBoth, full_run},
      {"9600 bit/s", kOnBoth, [](const Port& p) { speed_exact(p, 9600); }},
      {"115200 bit/s", kOnBoth, [](const Port& p) { speed_exact(p, 115200); }},
      {"57600 bit/s", kOnBoth, [](const Port& p) { speed_exact(p, 57600); }},
      {"38400 bit/s", kOnBoth, [](const Port& p) { speed_exact(p, 38400); }},
      {"300 bit/s", kOnBoth, [](const Port& p) { speed_exact(p, 300); }},
      {"12345 bit/s refused (the divisor makes 12800)", kOnUart,
       [](const Port& p) { refused_speed(p, 12345); }},
      {"5000000 bit/s refused", kOnBoth, [](const Port& p) { refused_speed(p, 5000000); }},
      {"75 bit/s refused (below what the driver makes)", kOnUsb,
       [](const Port& p) { refused_speed(p, 75); }},
      {"its own lock file", kOnBoth, own_lock},
      {"a live lock refused, lines untouched", kOnBoth, live_lock},
      {"a stale lock taken over", kOnBoth, stale_lock},
      {"a second instance as root refused, lines never raised", kOnBoth, second_root_instance},
      {"lines lowered again after a root program opened the port", kOnBoth, root_opener},
      {"a line that never goes quiet: Failed each second, ESC ends it", kOnBoth, never_quiet},
      {"a UART that is not there fails at once", kOnUart,
       [](const Port& p) { missing(p, "/dev/ttyS3"); }},
      {"the benchmark", kOnUart, bench},
      {"75 bit/s: started", kOnUart, start_slow_line, true},
      {"a missing adapter fails at once", kOnUsb,
       [](const Port& p) { missing(p, "/dev/ttyUSB7"); }},
      {"the adapter pulled and plugged back: the run starts again from the unlock", kOnUsb, replug},
      {"75 bit/s: completes at the line's pace", kOnUart, finish_slow_line, true, true},
  };
  unsigned passed = 0;
  unsigned failed = 0;
  const char* only = std::getenv("QUORVEL_QEMU_CASES");
  const auto run_case = [&](const Case& c, const Port& port) {
    if (only != nullptr && std::string(c.name).find(only) == std::string::npos) {
      return;
    }
    if (!c.keeps_unit) {
      reset_unit(*port.unit, UnitMode::kEcho);
    }
    g.why.clear();
    const long long started = now_ms();
    c.run(port);
    const bool ok = g.why.empty();
    (ok ? passed : failed) += 1;
    std::printf("%s %s: %s (%.1f s)%s%s\n", ok ? "ok  " : "FAIL", port.name, c.name,
                (now_ms() - started) / 1000.0, ok ? "" : "\n     ", g.why.c_str());
    std::fflush(stdout);
  };
  for (const Port* port : {&uart, &usb}) {
    const unsigned bit = port->kind == PortKind::kUart ? kOnUart : kOnUsb;
    for (const Case& c : cases) {
      if ((c.ports & bit) != 0 && !c.at_end) {
        run_case(c, *port);
      }
    }
  }
  for (const Case& c : cases) {
    if (c.at_end) {
      run_case(c, uart);
    }
  }
  stop_unit(g.uart);
  stop_unit(g.usb);
  stop_guest(g.guest);
  std::printf("%u passed, %u failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
