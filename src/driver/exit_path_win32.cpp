// The way out on Windows: the keyboard changes no console mode, and the system gives a port's
// exclusive claim back with its handle when the process ends; the port's settings are given
// back when Ctrl-C, Ctrl-Break or closing the console ends the program.
#include <windows.h>

#include "driver/exit_path.h"
#include "link/port/serial_link.h"
#include "setup/key_input.h"

namespace {

// Runs on a thread of its own; FALSE lets the system's handler end the process.
BOOL WINAPI on_console_event(DWORD /*event*/) {
  key_input_release_for_exit();
  release_port_for_exit();
  return FALSE;
}

}  // namespace

void install_exit_path() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}
