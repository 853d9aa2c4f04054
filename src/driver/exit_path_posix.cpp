// The way out on a POSIX system: signal handlers that give back what each seam took, terminal
// first so the operator's shell is usable at once, then the port, and re-raise.
#include <signal.h>

#include <array>
#include <cerrno>

#include "driver/exit_path.h"
#include "link/serial_link.h"
#include "setup/key_input.h"

namespace {

// Every signal whose default action ends or stops the program while it holds the terminal and
// the port. Ctrl-\ (SIGQUIT) and Ctrl-Z (SIGTSTP) reach it because signal keys stay enabled;
// SIGPIPE comes from a closed output pipe; SIGALRM and the user signals end a program too.
constexpr std::array<int, 9> kRestoreSignals{SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,
                                             SIGTSTP, SIGALRM, SIGUSR1, SIGUSR2};

void on_signal(int signal_number);

// While one handler gives things back, the other signals of the way out (and SIGCONT) wait: a
// second handler run in the middle would give the terminal back twice and re-raise its own
// signal before the first had given back the port.
sigset_t held_while_handling() {
  sigset_t held{};
  sigemptyset(&held);
  for (const int signal_number : kRestoreSignals) {
    sigaddset(&held, signal_number);
  }
  sigaddset(&held, SIGCONT);
  return held;
}

void take_signal(int signal_number) {
  struct sigaction previous {};
  // A signal the caller chose to ignore (nohup, a background job) stays ignored.
  if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
    return;
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  action.sa_mask = held_while_handling();
  sigaction(signal_number, &action, nullptr);
}

// Only async-signal-safe calls here. The signal is blocked while its handler runs, so the raise
// takes effect, with the default action, as soon as the handler returns; another ending signal
// that came meanwhile is handled after it, with nothing left to give back.
void on_signal(int signal_number) {
  const int saved_errno = errno;
  key_input_release_for_exit();
  if (signal_number != SIGTSTP) {
    release_port_for_exit();  // a stopped program still holds the port, and keeps it
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
  errno = saved_errno;
}

// After a stop the handler for Ctrl-Z is taken again, and the keyboard its raw mode.
void on_continue(int /*signal_number*/) {
  const int saved_errno = errno;
  take_signal(SIGTSTP);
  key_input_resume_for_signal();
  errno = saved_errno;
}

}  // namespace

void install_exit_path() {
  for (const int signal_number : kRestoreSignals) {
    take_signal(signal_number);
  }
  struct sigaction wake {};
  wake.sa_handler = on_continue;
  wake.sa_mask = held_while_handling();
  sigaction(SIGCONT, &wake, nullptr);
}
