// The serial port and the clock on Windows: a COM port through kernel32, read and written one
// byte at a time with blocking calls whose time-outs make reads return at once.
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdio>

#include "link/clock.h"
#include "link/serial_link.h"

namespace {

// PortHandle is a small index so that the shared code never sees a Windows HANDLE; the real
// handles live here. A run opens one port; the spare slots cost nothing.
constexpr int kPortSlots = 4;
std::array<HANDLE, kPortSlots> g_ports{};  // nullptr = free; CreateFileA never yields nullptr

HANDLE handle_of(PortHandle port) {
  if (port < 0 || port >= kPortSlots || g_ports[port] == nullptr) {
    return INVALID_HANDLE_VALUE;
  }
  return g_ports[port];
}

int free_slot() {
  for (int i = 0; i < kPortSlots; ++i) {
    if (g_ports[i] == nullptr) {
      return i;
    }
  }
  return -1;
}

// "COM1" to "COM9" open by their plain names, but COM10 and above, and names such as CNCA0,
// exist only in the device namespace. Any name the technician gave without a leading "\\"
// therefore goes through "\\.\". Returns true (failure) when the result would not fit.
bool device_path(const char* port_name, std::array<char, 272>& path) {
  const bool has_namespace = port_name[0] == '\\' && port_name[1] == '\\';
  const int n =
      std::snprintf(path.data(), path.size(), "%s%s", has_namespace ? "" : "\\\\.\\", port_name);
  return n < 0 || static_cast<std::size_t>(n) >= path.size();
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
bool set_line(HANDLE h, std::uint32_t baud_rate) {
  DCB dcb;
  if (!GetCommState(h, &dcb)) {
    return true;
  }
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
  dcb.XonChar = 0;
  dcb.XoffChar = 0;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
  return !SetCommState(h, &dcb);
}

}  // namespace

PortHandle open_port(const char* port_name, std::uint32_t baud_rate) {
  const int slot = free_slot();
  std::array<char, 272> path{};
  if (slot < 0 || device_path(port_name, path)) {
    return kInvalidPort;
  }
  // Share mode 0: nobody else may hold the port while the unit is being programmed.
  HANDLE h = CreateFileA(path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return kInvalidPort;
  }
  if (set_timeouts(h) || set_line(h, baud_rate)) {
    CloseHandle(h);
    return kInvalidPort;
  }
  g_ports[slot] = h;
  return slot;
}

void close_port(PortHandle port) {
  const HANDLE h = handle_of(port);
  if (h == INVALID_HANDLE_VALUE) {
    return;
  }
  CloseHandle(h);
  g_ports[port] = nullptr;
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
  std::uint8_t byte = 0;
  DWORD got = 0;
  if (!ReadFile(handle_of(port), &byte, 1, &got, nullptr) || got != 1) {
    return true;
  }
  byte_out = byte;
  return false;
}

void wait_for_byte(PortHandle /*port*/, std::uint32_t timeout_ms) {
  // Reads never wait and event masks are not used on this port, so there is nothing to block
  // on: a short sleep gives the line time to deliver and hands the CPU back meanwhile. The
  // caller's loop reads again and keeps its own deadline.
  constexpr std::uint32_t kSliceMs = 10;
  if (timeout_ms != 0) {
    Sleep(timeout_ms < kSliceMs ? timeout_ms : kSliceMs);
  }
}

bool prepare_attempt(PortHandle& port) {
  return handle_of(port) == INVALID_HANDLE_VALUE;
}

const char* open_failure_reason() {
  return "";
}
