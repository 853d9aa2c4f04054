// The serial port on Windows: a COM port through kernel32, read and written one byte at a time
// with blocking calls whose time-outs make reads return at once.
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>

#include "link/clock/clock.h"
#include "link/diagnosis/port_reason.h"
#include "link/port/device_path.h"
#include "link/port/line_retry.h"
#include "link/port/serial_link.h"

namespace {

// A run opens one port: its handle lives here, and the shared code holds only kOpenPort, so it
// never sees a Windows HANDLE.
constexpr PortHandle kOpenPort = 0;
HANDLE g_port = INVALID_HANDLE_VALUE;

// Room for the device path of a name: past MAX_PATH, so that the system, not this program, says
// when a name is too long for it.
constexpr std::size_t kDevicePathBytes = 272;
// The line settings and time-outs the port had when it was opened, given back when it is closed
// or the console ends the program; g_given_back says that has been done (either thread may).
DCB g_found_line;
COMMTIMEOUTS g_found_timeouts;
volatile LONG g_given_back = 1;

std::array<char, 400> g_reason{};

// A byte that arrived during wait_for_byte, not yet taken by read_byte.
bool g_has_byte = false;
std::uint8_t g_byte = 0;

HANDLE handle_of(PortHandle port) {
  return port == kOpenPort ? g_port : INVALID_HANDLE_VALUE;
}

// Read time-outs: with the multiplier 0 ReadFile returns at once with what is already received,
// possibly nothing; with it MAXDWORD as well as the interval, ReadFile waits up to `wait_ms` for
// a byte and returns with the first. Writes have no time limit.
bool set_read_timeouts(HANDLE h, DWORD multiplier, DWORD wait_ms) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = multiplier;
  timeouts.ReadTotalTimeoutConstant = wait_ms;
  return !SetCommTimeouts(h, &timeouts);
}

bool set_immediate_reads(HANDLE h) {
  return set_read_timeouts(h, 0, 0);
}

// 8N1 at baud_rate, no flow control of any kind, DTR and RTS off. Every other field, DCBlength
// included, stays as the driver reported it.
void fill_line(DCB& dcb, std::uint32_t baud_rate, const FlowChars& chars) {
  dcb.BaudRate = baud_rate;
  dcb.fBinary = 1;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fParity = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  // No flow control by the modem lines or by XON and XOFF, in either direction.
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = 0;
  dcb.fOutX = dcb.fInX = dcb.fTXContinueOnXoff = 0;
  dcb.XonLim = dcb.XoffLim = 1024;
  dcb.XonChar = static_cast<char>(chars.xon);
  dcb.XoffChar = static_cast<char>(chars.xoff);
  // No byte replaced, dropped or acted on, and no error that stops the port.
  dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = 0;
  dcb.ErrorChar = dcb.EofChar = dcb.EvtChar = 0;
}

// Puts back what was found at open, DTR and RTS kept down (the settings found may have them
// follow the port); once, whichever of the run and the console's handler comes first.
void give_back(HANDLE h) {
  if (InterlockedExchange(&g_given_back, 1) != 0) {
    return;
  }
  DCB found = g_found_line;
  found.fDtrControl = DTR_CONTROL_DISABLE;
  found.fRtsControl = RTS_CONTROL_DISABLE;
  SetCommState(h, &found);
  SetCommTimeouts(h, &g_found_timeouts);
}

}  // namespace

PortHandle open_port(const char* port_name, std::uint32_t baud_rate) {
  g_reason[0] = '\0';
  if (g_port != INVALID_HANDLE_VALUE) {
    return kInvalidPort;  // one port per run, and it is open already
  }
  std::array<char, kDevicePathBytes> path{};
  if (windows_device_path(port_name, path.data(), path.size())) {
    explain_long_name(port_name, g_reason.data(), g_reason.size());
    return kInvalidPort;
  }
  // Share mode 0: nobody else may hold the port while the unit is being programmed.
  HANDLE h = CreateFileA(path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    explain_open_error(port_name, GetLastError(), g_reason.data(), g_reason.size());
    return kInvalidPort;
  }
  DCB read_back;
  if (!GetCommTimeouts(h, &g_found_timeouts) || !GetCommState(h, &read_back)) {
    explain_not_serial(port_name, GetLastError(), g_reason.data(), g_reason.size());
    CloseHandle(h);
    return kInvalidPort;
  }
  g_found_line = read_back;
  g_given_back = 0;
  if (set_immediate_reads(h)) {
    explain_not_serial(port_name, GetLastError(), g_reason.data(), g_reason.size());
    give_back(h);
    CloseHandle(h);
    return kInvalidPort;
  }
  // The table's DCB first; a strict driver that refuses it gets one more try.
  const bool refused = set_line_with_retry([&](const FlowChars& chars) {
    DCB dcb = read_back;
    fill_line(dcb, baud_rate, chars);
    return !SetCommState(h, &dcb);
  });
  if (refused) {
    explain_line_refused(port_name, baud_rate, GetLastError(), g_reason.data(), g_reason.size());
    give_back(h);
    CloseHandle(h);
    return kInvalidPort;
  }
  g_port = h;
  return kOpenPort;
}

void close_port(PortHandle port) {
  const HANDLE h = handle_of(port);
  if (h == INVALID_HANDLE_VALUE) {
    return;
  }
  give_back(h);
  CloseHandle(h);
  g_port = INVALID_HANDLE_VALUE;
  g_has_byte = false;
}

// Windows gives a port's share mode back with its handle, which the system closes at exit; its
// settings are this program's to give back.
void release_port_for_exit() {
  if (g_port != INVALID_HANDLE_VALUE) {
    give_back(g_port);
  }
}

void write_byte(PortHandle port, std::uint32_t pause, std::uint8_t byte) {
  DWORD written = 0;
  WriteFile(handle_of(port), &byte, 1, &written, nullptr);
  if (pause != 0) {
    pause_ms(pause);
  }
}

bool read_byte(PortHandle port, std::uint8_t& byte_out) {
  if (g_has_byte && handle_of(port) != INVALID_HANDLE_VALUE) {
    byte_out = g_byte;
    g_has_byte = false;
    return false;
  }
  std::uint8_t byte = 0;
  DWORD got = 0;
  if (!ReadFile(handle_of(port), &byte, 1, &got, nullptr) || got != 1) {
    return true;
  }
  byte_out = byte;
  return false;
}

void wait_for_byte(PortHandle port, std::uint32_t timeout_ms) {
  const HANDLE h = handle_of(port);
  if (timeout_ms == 0 || h == INVALID_HANDLE_VALUE || g_has_byte) {
    return;
  }
  // For the wait only, the time-outs that make a read block until a byte comes or timeout_ms
  // pass (interval and multiplier both MAXDWORD): the echo is noticed as it arrives and the
  // CPU stays idle. The byte is kept for read_byte, and reads go back to returning at once.
  const std::uint32_t start = tick_ms();
  DWORD got = 0;
  if (!set_read_timeouts(h, MAXDWORD, timeout_ms < MAXDWORD ? timeout_ms : MAXDWORD - 1)) {
    std::uint8_t byte = 0;
    if (ReadFile(h, &byte, 1, &got, nullptr) && got == 1) {
      g_byte = byte;
      g_has_byte = true;
    }
    set_immediate_reads(h);
  }
  // A driver without such time-outs, or a line that fails at once (an adapter pulled), must
  // not make the caller's loop spin: the wait then lasts at least a millisecond.
  if (!g_has_byte && tick_ms() - start < 1) {
    Sleep(1);
  }
}

PortFit ready_port_for_attempt(PortHandle& port) {
  const HANDLE h = handle_of(port);
  if (h == INVALID_HANDLE_VALUE) {
    return PortFit::kMissing;
  }
  // No other program can open the port while this handle holds it, but a driver may raise the
  // lines again on its own (some USB adapters do after a reset): each attempt lowers them, as
  // on Linux. A driver that cannot set them (a pseudo-terminal under Wine) is no reason to stop.
  EscapeCommFunction(h, CLRDTR);
  EscapeCommFunction(h, CLRRTS);
  return PortFit::kReady;
}

const char* open_failure_reason() {
  return g_reason.data();
}
