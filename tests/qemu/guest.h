// A small QEMU guest with the kernel's own serial drivers, driven through a shell agent on its
// first serial port. Its second serial port (a 16550 on the 8250 driver, /dev/ttyS1) and a USB
// FTDI adapter (ftdi_sio, /dev/ttyUSB0) each end in a unix socket on the host, where a fake unit
// serves them; QEMU's trace of both ports' registers and control requests goes to a file.
#pragma once

#include <sys/types.h>

#include <string>

namespace qemu {

struct Guest {
  std::string work;  // sockets and logs
  pid_t pid = -1;
  int agent_fd = -1;
  int monitor_fd = -1;
  std::string uart_socket, usb_socket, trace_path, log_path;
};

// Starts QEMU on kernel and initrd with its sockets in work, and connects to its agent and
// monitor. Returns true (failure) with the reason in why.
bool start_guest(Guest& guest, const std::string& kernel, const std::string& initrd,
                 const std::string& work, std::string& why);

// Waits (up to 90 s) for the agent to say the guest is ready. QEMU plugs the USB adapter in only
// while its socket has a client: connect the units first.
bool wait_ready(Guest& guest, std::string& why);

// Runs one shell command line (no newline in it) in the agent's own shell and gives its output
// and exit status; -1 when the agent did not answer within seconds.
int guest_run(Guest& guest, const std::string& command, std::string& output, int seconds = 60);

// Sends one command to QEMU's monitor and gives what it answered up to its next prompt.
bool monitor(Guest& guest, const std::string& command, std::string& answer);

// Ends QEMU and closes its sockets.
void stop_guest(Guest& guest);

// Connects to a unix socket, retrying for up to seconds while it does not exist yet. -1 on
// failure.
int connect_socket(const std::string& path, int seconds);

// Milliseconds on the host's monotonic clock.
long long now_ms();

}  // namespace qemu
