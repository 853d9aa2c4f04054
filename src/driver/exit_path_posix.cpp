// The way out on a POSIX system: signal handlers that give back what each seam took, terminal
// first so the operator's shell is usable at once, then the port, and re-raise.
#include <signal.h>

#include <array>
#include <cerrno>

#include "driver/exit_path.h"
#include "link/port/serial_link.h"
#include "setup/key_input.h"

namespace {

// Signals only some systems have; 0 where this one does not.
#if defined(SIGSTKFLT)
constexpr int kStackFault = SIGSTKFLT;
#else
constexpr int kStackFault = 0;
#endif
#if defined(SIGPWR)
constexpr int kPowerFail = SIGPWR;
#else
constexpr int kPowerFail = 0;
#endif

// Every signal whose default action ends or stops the program while it holds the terminal and
// the port, the real-time signals aside. Ctrl-\ (SIGQUIT) and Ctrl-Z (SIGTSTP) reach it because
// signal keys stay enabled; SIGPIPE comes from a closed output pipe; SIGXCPU and SIGXFSZ from
// resource limits; the others from other programs.
constexpr std::array<int, 17> kEndingSignals{
    SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGPIPE, SIGTSTP, SIGALRM,     SIGUSR1,   SIGUSR2,
    SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,  SIGIO,   kStackFault, kPowerFail};

// The program's own crash. Each handler runs once: it gives everything back and hands the
// signal to whatever was there before (the default action, or a sanitizer's report).
constexpr std::array<int, 6> kCrashSignals{SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};

constexpr int kMostSignals = 65;  // Linux numbers them 1 to 64
std::array<struct sigaction, kMostSignals> g_before_crash{};

void on_signal(int signal_number);
void on_crash(int signal_number, siginfo_t* info, void* context);

// Calls use(signal_number) for every signal of the way out.
template <typename Use>
void for_each_ending_signal(Use use) {
  for (const int signal_number : kEndingSignals) {
    if (signal_number != 0) {
      use(signal_number);
    }
  }
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    use(signal_number);
  }
  for (const int signal_number : kCrashSignals) {
    use(signal_number);
  }
}

// While one handler gives things back, the other signals of the way out (and SIGCONT) wait: a
// second handler run in the middle would give the terminal back twice and re-raise its own
// signal before the first had given back the port.
// Made once at install: SIGRTMIN and SIGRTMAX are calls, and a handler (SIGCONT's takes
// Ctrl-Z's again) may make only async-signal-safe ones.
sigset_t g_held_while_handling{};

void make_held_while_handling() {
  sigemptyset(&g_held_while_handling);
  for_each_ending_signal(
      [](int signal_number) { sigaddset(&g_held_while_handling, signal_number); });
  sigaddset(&g_held_while_handling, SIGCONT);
}

bool is_crash(int signal_number) {
  for (const int crash : kCrashSignals) {
    if (crash == signal_number) {
      return true;
    }
  }
  return false;
}

void take_signal(int signal_number) {
  struct sigaction previous {};
  // A signal the caller chose to ignore (nohup, a background job) stays ignored.
  if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
    return;
  }
  struct sigaction action {};
  action.sa_mask = g_held_while_handling;
  if (is_crash(signal_number) && signal_number < kMostSignals) {
    g_before_crash[static_cast<std::size_t>(signal_number)] = previous;
    action.sa_sigaction = on_crash;
    action.sa_flags = SA_SIGINFO;
  } else {
    action.sa_handler = on_signal;
  }
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

// A fault the processor raised comes again when the handler returns, at the same instruction,
// now to the handler from before, with its own details; one sent (kill, abort) is raised again.
void on_crash(int signal_number, siginfo_t* info, void* /*context*/) {
  key_input_release_for_exit();
  release_port_for_exit();
  sigaction(signal_number, &g_before_crash[static_cast<std::size_t>(signal_number)], nullptr);
  const bool fault =
      info != nullptr && info->si_code > 0 && signal_number != SIGTRAP && signal_number != SIGABRT;
  if (!fault) {
    raise(signal_number);
  }
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
  make_held_while_handling();
  for_each_ending_signal(take_signal);
  struct sigaction wake {};
  wake.sa_handler = on_continue;
  wake.sa_mask = g_held_while_handling;
  sigaction(SIGCONT, &wake, nullptr);
}
