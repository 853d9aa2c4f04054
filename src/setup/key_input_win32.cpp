// The operator's keyboard on Windows. On a console the runtime's unbuffered keyboard is read
// (no echo, no line editing); cursor and function keys arrive as a prefix code 0 or 224 and a
// second code, folded into one value. When standard input is not a console (a pipe or a file),
// its bytes go through the same decoder as a POSIX terminal's, so that CR, LF and CR LF are each
// one Enter and escape sequences one key, and the end of the input ends the keys.
#include <conio.h>
#include <windows.h>

#include <cstdint>

#include "setup/key_decoder.h"
#include "setup/key_input.h"

namespace {

enum class Source { kUnknown, kConsole, kStream };

// How long a read of the stream may wait: not at all, the gap within an escape sequence (a
// sender writes one in a single burst; a lone ESC has nothing behind it), or until a byte or
// the end comes.
enum class Wait { kNow, kGap, kForever };
constexpr DWORD kSequenceGapMs = 50;

struct StreamState {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool is_pipe = false;
  bool ended = false;
  bool has_byte = false;  // a byte read ahead, not yet decoded
  std::uint8_t byte = 0;
  KeyDecoder decoder;
  int ready = kKeyPending;  // a decoded key not yet taken
};

Source g_source = Source::kUnknown;
StreamState g_stream;

Source source() {
  if (g_source == Source::kUnknown) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in != nullptr && in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &mode)) {
      g_source = Source::kConsole;
    } else {
      g_source = Source::kStream;
      g_stream.handle = in;
      g_stream.is_pipe =
          in != nullptr && in != INVALID_HANDLE_VALUE && GetFileType(in) == FILE_TYPE_PIPE;
      g_stream.ended = in == nullptr || in == INVALID_HANDLE_VALUE;
    }
  }
  return g_source;
}

// Whether a pipe holds a byte now. A pipe that cannot be asked (Wine's pipes from the host
// cannot) is `unknown`: only a read can tell.
bool pipe_has_byte(bool& unknown) {
  DWORD available = 0;
  unknown = false;
  if (!PeekNamedPipe(g_stream.handle, nullptr, 0, nullptr, &available, nullptr)) {
    if (GetLastError() == ERROR_BROKEN_PIPE) {
      g_stream.ended = true;
      return false;
    }
    unknown = true;
    return false;
  }
  return available != 0;
}

// Only a pipe can make a read wait, so only a pipe is asked first; a file or a device such as
// NUL answers a read at once. Returns true when the read may be made within `wait`.
bool byte_within(Wait wait) {
  if (!g_stream.is_pipe || wait == Wait::kForever) {
    return true;
  }
  bool unknown = false;
  if (pipe_has_byte(unknown) || g_stream.ended) {
    return !g_stream.ended;
  }
  if (wait == Wait::kNow) {
    return false;
  }
  if (unknown) {
    return true;  // the rest of a sequence from a pipe that cannot be asked: the read waits
  }
  // Within the gap, a short sleep between looks keeps the wait off the CPU.
  for (DWORD waited = 0; waited < kSequenceGapMs; ++waited) {
    Sleep(1);
    if (pipe_has_byte(unknown) || g_stream.ended) {
      return !g_stream.ended;
    }
  }
  return false;
}

// Reads one byte into the look-ahead when one comes within `wait`; nothing read means the end.
bool stream_fill(Wait wait) {
  if (g_stream.has_byte) {
    return true;
  }
  if (g_stream.ended || !byte_within(wait)) {
    return false;
  }
  DWORD got = 0;
  std::uint8_t byte = 0;
  if (!ReadFile(g_stream.handle, &byte, 1, &got, nullptr) || got != 1) {
    g_stream.ended = true;
    return false;
  }
  g_stream.byte = byte;
  g_stream.has_byte = true;
  return true;
}

// Decodes until a key is ready, reading as `wait` allows between keys; within an escape
// sequence the rest is waited for up to the gap. True when a key is ready.
bool stream_decode(Wait wait) {
  while (g_stream.ready == kKeyPending) {
    const Wait now = key_sequence_open(g_stream.decoder) ? Wait::kGap : wait;
    if (!stream_fill(now)) {
      if (!g_stream.ended && now != Wait::kGap) {
        return false;
      }
      // The end of the input, or a sequence cut short: what is pending becomes its key.
      g_stream.ready = finish_key(g_stream.decoder);
      return g_stream.ready != kKeyPending;
    }
    bool again = false;
    g_stream.ready = feed_key_byte(g_stream.decoder, g_stream.byte, again);
    if (!again) {
      g_stream.has_byte = false;
    }
  }
  return true;
}

}  // namespace

void key_input_start() {
  source();
}

// Nothing of the console was changed: _getch reads without echo on its own.
void key_input_stop() {}

void key_input_release_for_exit() {}
void key_input_resume_for_signal() {}

bool key_waiting() {
  if (source() == Source::kConsole) {
    return _kbhit() != 0;
  }
  return stream_decode(Wait::kNow);
}

int read_key() {
  if (source() == Source::kConsole) {
    const int first = _getch();
    if (first == 0 || first == 224) {
      return first + _getch() * 256;
    }
    return first;
  }
  if (!stream_decode(Wait::kNow)) {
    return kKeyPending;  // only when called against the contract: nothing to give
  }
  const int key = g_stream.ready;
  g_stream.ready = kKeyPending;
  return key;
}

bool wait_for_key() {
  if (source() == Source::kStream) {
    // The read itself waits in the system until a byte or the end of the input comes.
    return stream_decode(Wait::kForever);
  }
  // The console keyboard can only be polled; a short sleep between tests keeps the wait off the
  // CPU.
  constexpr DWORD kSliceMs = 10;
  while (_kbhit() == 0) {
    Sleep(kSliceMs);
  }
  return true;
}
