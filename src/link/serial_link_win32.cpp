// The serial port on Windows: a COM port through kernel32, read and written one byte at a time
// with blocking calls whose time-outs make reads return at once.
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>

#include "link/clock.h"
#include "link/device_path.h"
#include "link/line_retry.h"
#include "link/port_reason_win32.h"
#include "link/serial_link.h"

namespace {

// A run opens one port: its handle lives here, and the shared code holds only kOpenPort, so it
// never sees a Windows HANDLE.
constexpr PortHandle kOpenPort = 0;
HANDLE g_port = INVALID_HANDLE_VALUE;
// The line settings the port had when it was opened, given back when it is closed.
DCB g_found_line;

std::array<char, 400> g_reason{};

// A byte that arrived during wait_for_byte, not yet taken by read_byte.
bool g_has_byte = false;
std::uint8_t g_byte = 0;

HANDLE handle_of(PortHandle port) {
  return port == kOpenPort ? g_port : INVALID_HANDLE_VALUE;
}

// Read time-outs that make ReadFile return at once with what is already received, possibly
// nothing, and writes without a time limit.
bool set_timeouts(HANDLE h) {
  COMMTIMEOUTS timeouts;
  if (!GetCommTimeouts(h, &timeouts)) {
    return true;
  }
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  return !SetCommTimeouts(h, &timeouts);
}

// 8N1 at baud_rate, no flow control of any kind, DTR and RTS off. Every other field, DCBlength
// included, stays as the driver reported it.
void fill_line(DCB& dcb, std::uint32_t baud_rate, const FlowChars& chars) {
  dcb.BaudRate = baud_rate;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = 0;
  dcb.XonLim = 1024;
  dcb.XoffLim = 1024;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = static_cast<char>(chars.xon);
  dcb.XoffChar = static_cast<char>(chars.xoff);
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
}

}  // namespace

PortHandle open_port(const char* port_name, std::uint32_t baud_rate) {
  g_reason[0] = '\0';
  if (g_port != INVALID_HANDLE_VALUE) {
    return kInvalidPort;  // one port per run, and it is open already
  }
  std::array<char, 272> path{};
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
  if (set_timeouts(h) || !GetCommState(h, &read_back)) {
    explain_not_serial(port_name, GetLastError(), g_reason.data(), g_reason.size());
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
    CloseHandle(h);
    return kInvalidPort;
  }
  g_port = h;
  g_found_line = read_back;
  return kOpenPort;
}

void close_port(PortHandle port) {
  const HANDLE h = handle_of(port);
  if (h == INVALID_HANDLE_VALUE) {
    return;
  }
  // As found, but DTR and RTS stay down: the settings found may have them follow the port.
  DCB found = g_found_line;
  found.fDtrControl = DTR_CONTROL_DISABLE;
  found.fRtsControl = RTS_CONTROL_DISABLE;
  SetCommState(h, &found);
  CloseHandle(h);
  g_port = INVALID_HANDLE_VALUE;
  g_has_byte = false;
}

// Windows gives a port's share mode back with its handle, which the system closes at exit.
void release_port_for_exit() {}

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
  COMMTIMEOUTS waiting{};
  waiting.ReadIntervalTimeout = MAXDWORD;
  waiting.ReadTotalTimeoutMultiplier = MAXDWORD;
  waiting.ReadTotalTimeoutConstant = timeout_ms < MAXDWORD ? timeout_ms : MAXDWORD - 1;
  const std::uint32_t start = tick_ms();
  DWORD got = 0;
  if (SetCommTimeouts(h, &waiting)) {
    std::uint8_t byte = 0;
    if (ReadFile(h, &byte, 1, &got, nullptr) && got == 1) {
      g_byte = byte;
      g_has_byte = true;
    }
    set_timeouts(h);
  }
  // A driver without such time-outs, or a line that fails at once (an adapter pulled), must
  // not make the caller's loop spin: the wait then lasts at least a millisecond.
  if (!g_has_byte && tick_ms() - start < 1) {
    Sleep(1);
  }
}

PortFit prepare_attempt(PortHandle& port) {
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
