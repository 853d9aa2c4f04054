// The operator's keyboard, one keystroke at a time, without echo or line editing.
// One implementation per platform; nothing above this header knows which.
#pragma once

// Key values returned by read_key: 0 to 255 for ordinary keys, 256 and above for cursor and
// function keys (prefix code + second code * 256, as the Windows console delivers them).
constexpr int kKeyBackspace = 8;
constexpr int kKeyEnter = 13;
constexpr int kKeyEsc = 27;

// Puts the keyboard in raw mode when it is a terminal. Call once, before any key.
void key_input_start();

// Gives the terminal back its saved settings; safe to call more than once.
void key_input_stop();

// For a signal handler on the way out or before a stop: gives the terminal back its saved
// settings. Async-signal-safe.
void key_input_release_for_exit();

// For the handler of SIGCONT: takes raw mode again when the keyboard had it before the stop and
// the program is now in the foreground. Async-signal-safe.
void key_input_resume_for_signal();

// True when a keystroke is ready. Never blocks.
bool key_waiting();

// Reads one keystroke and returns its key value. Call only after key_waiting() said true.
int read_key();

// Blocks in the operating system until a key is waiting (true) or the input has ended and no
// key will ever come (false).
bool wait_for_key();
