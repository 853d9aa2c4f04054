// Keyboard on a POSIX terminal: raw mode on standard input, escape sequences decoded into the
// key values the Windows console gives.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "setup/key_decoder.h"
#include "setup/key_input.h"

namespace {

constexpr int kInputFd = 0;
// A terminal sends an escape sequence in one burst; a lone ESC is one with nothing behind it.
constexpr int kSequenceGapMs = 50;

// The modes to give back are saved before raw mode is first taken and never change after, so a
// handler that finds g_raw_active set always has the right ones.
termios g_saved_modes{};
termios g_raw_modes{};
// Set only while the terminal is in raw mode; read by the signal handlers.
volatile sig_atomic_t g_raw_active = 0;
// Between key_input_start and key_input_stop, on a terminal; read by the SIGCONT handler.
volatile sig_atomic_t g_raw_wanted = 0;
bool g_is_terminal = false;
bool g_ended = false;

// Bytes read but not yet decoded.
std::array<std::uint8_t, 64> g_bytes{};
std::size_t g_begin = 0;
std::size_t g_end = 0;
KeyDecoder g_decoder;

// Async-signal-safe. SIGTTOU is held off meanwhile: giving the modes back must never stop the
// program, even when the shell has just put it in the background.
void restore_terminal() {
  if (g_raw_active != 0) {
    sigset_t hold{};
    sigset_t previous{};
    sigemptyset(&hold);
    sigaddset(&hold, SIGTTOU);
    sigprocmask(SIG_BLOCK, &hold, &previous);
    // Cleared only once the modes are back: a signal before that restores them itself, and
    // a failed restore is tried again on the next way out.
    if (tcsetattr(kInputFd, TCSANOW, &g_saved_modes) == 0) {
      g_raw_active = 0;
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
  }
}

// Whether this process is in the terminal's foreground process group. Only then may it change
// the terminal's modes or read a key: from the background either stops it (SIGTTOU, SIGTTIN).
// A terminal that is not the controlling one has no such rule.
bool in_foreground() {
  const pid_t owner = tcgetpgrp(kInputFd);
  return owner < 0 || owner == getpgrp();
}

// Raw mode, taken only in the foreground; a program started with & runs without it until it
// is brought to the foreground. The modes to give back are read each time raw mode is taken:
// those seen from the background were the shell's (its line editor's, say), and after a stop
// the shell may hand the terminal back with other modes again.
void apply_raw_modes() {
  if (!in_foreground()) {
    return;
  }
  // No signal may come between taking raw mode and saying so: with the flag still clear, a way
  // out would leave the terminal raw; with it set first, a stop in between would have its modes
  // given back and then taken raw again behind the flag's back. Held, a signal is handled once
  // the flag tells the truth.
  sigset_t all{};
  sigset_t previous{};
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  if (tcgetattr(kInputFd, &g_saved_modes) == 0) {
    g_raw_modes = g_saved_modes;
    // Keys one at a time, no echo, CR left as CR; Ctrl-C still interrupts, output is untouched.
    g_raw_modes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
    g_raw_modes.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR);
    g_raw_modes.c_cc[VMIN] = 0;
    g_raw_modes.c_cc[VTIME] = 0;
    if (tcsetattr(kInputFd, TCSANOW, &g_raw_modes) == 0) {
      g_raw_active = 1;
    }
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// After Ctrl-Z the exit path gave the terminal back and the program stopped; once it is
// continued in the foreground (or first brought there), raw mode is taken again before the
// next key is read.
void resume_after_stop() {
  if (g_raw_wanted != 0 && g_raw_active == 0) {
    apply_raw_modes();
  }
}

// How often a program in the background that waits for a key looks whether it has been
// brought to the foreground (SIGCONT from the shell's fg ends the wait at once as well).
constexpr int kBackgroundLookMs = 250;

// Waits up to timeout_ms (-1: no limit) for input and reads what is there. Returns true when at
// least one new byte was buffered.
bool fill(int timeout_ms) {
  if (g_ended) {
    return false;
  }
  if (g_begin == g_end) {
    g_begin = g_end = 0;
  }
  if (g_end == g_bytes.size()) {
    return false;
  }
  if (g_is_terminal && !in_foreground()) {
    // Keys typed now belong to the shell, and a read would stop this program.
    poll(nullptr, 0,
         timeout_ms < 0 || timeout_ms > kBackgroundLookMs ? kBackgroundLookMs : timeout_ms);
    return false;
  }
  pollfd pfd{kInputFd, POLLIN, 0};
  const int ready = poll(&pfd, 1, timeout_ms);
  if (ready < 0) {
    return false;  // EINTR and the like: the caller looks again
  }
  if (ready == 0) {
    return false;
  }
  const ssize_t got = read(kInputFd, &g_bytes[g_end], g_bytes.size() - g_end);
  if (got > 0) {
    g_end += static_cast<std::size_t>(got);
    return true;
  }
  // A terminal in raw mode with VMIN=0 reads 0 when nothing is there; it has ended only when
  // hung up. Any other input ends at end of file. Persistent errors end it too, so no wait spins.
  const bool hung_up = (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  if ((got == 0 && (!g_is_terminal || hung_up)) || (got < 0 && errno != EINTR && errno != EAGAIN)) {
    g_ended = true;
  }
  return false;
}

// Decodes buffered bytes until a key is complete or the buffer is empty.
int decode_buffered() {
  while (g_begin < g_end) {
    bool again = false;
    const int key = feed_key_byte(g_decoder, g_bytes[g_begin], again);
    if (!again) {
      ++g_begin;
    }
    if (key != kKeyPending) {
      return key;
    }
  }
  return kKeyPending;
}

int g_ready_key = kKeyPending;

}  // namespace

void key_input_start() {
  termios modes{};
  g_is_terminal = isatty(kInputFd) != 0;
  if (!g_is_terminal || tcgetattr(kInputFd, &modes) != 0) {
    return;
  }
  g_raw_wanted = 1;
  apply_raw_modes();
}

void key_input_stop() {
  g_raw_wanted = 0;
  restore_terminal();
}

void key_input_release_for_exit() {
  restore_terminal();
}

// A stop that came just before a wait for a key began leaves that wait asleep in poll after the
// continue, with nothing to wake it: raw mode must be back before then, so the handler takes it.
// Every call in apply_raw_modes is async-signal-safe, and it holds all signals while it works.
void key_input_resume_for_signal() {
  resume_after_stop();
}

bool key_waiting() {
  resume_after_stop();
  if (g_ready_key != kKeyPending) {
    return true;
  }
  do {
    g_ready_key = decode_buffered();
    if (g_ready_key != kKeyPending) {
      return true;
    }
  } while (!key_sequence_open(g_decoder) && fill(0));
  // Part of an escape sequence is in: the key is there, read_key waits for the rest.
  return key_sequence_open(g_decoder);
}

int read_key() {
  while (g_ready_key == kKeyPending) {
    g_ready_key = decode_buffered();
    if (g_ready_key == kKeyPending && !fill(kSequenceGapMs)) {
      g_ready_key = finish_key(g_decoder);
      if (g_ready_key == kKeyPending) {
        return kKeyPending;  // called with nothing waiting: nothing to give
      }
    }
  }
  const int key = g_ready_key;
  g_ready_key = kKeyPending;
  return key;
}

bool wait_for_key() {
  while (!key_waiting()) {
    if (g_ended) {
      return false;
    }
    fill(-1);
  }
  return true;
}
