// The program's way out when a signal ends or stops it: what was taken is given back, in the
// program's order, before the signal takes its usual effect. One implementation per platform.
#pragma once

// Installs the handlers: on every signal whose default action ends the program (Ctrl-C,
// Ctrl-\, SIGTERM, SIGHUP, a closed output pipe, SIGALRM, the user signals, the resource
// limits' SIGXCPU and SIGXFSZ, the timers', SIGSYS, SIGIO, SIGPWR, SIGSTKFLT, the real-time
// signals) the terminal is given back, then the port (its settings as found, its lock), and the
// signal is raised again with its default action. The program's own crash (SIGABRT, SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGTRAP) gives them back once, then goes on to the handler that was
// there before. On Ctrl-Z only the terminal is given back before the stop (a stopped run keeps
// its port). Signals the caller chose to ignore stay ignored. SIGKILL cannot be handled: after
// it the port keeps this program's settings, and its lock file is left as stale. Call once,
// before anything is taken.
void install_exit_path();
