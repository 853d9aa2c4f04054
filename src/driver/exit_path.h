// The program's way out when a signal ends or stops it: what was taken is given back, in the
// program's order, before the signal takes its usual effect. One implementation per platform.
#pragma once

// Installs the handlers: on every signal that ends the program (Ctrl-C, Ctrl-\, SIGTERM,
// SIGHUP, a closed output pipe, SIGALRM, the user signals) the terminal is given back, then the
// port, and the signal is raised again with its default action; on Ctrl-Z only the terminal is
// given back before the stop (a stopped run keeps its port). Signals the caller chose to ignore
// stay ignored. Call once, before anything is taken.
void install_exit_path();
