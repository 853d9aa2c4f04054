// The operator's keyboard on Windows. On a console the runtime's unbuffered keyboard is read
// (no echo, no line editing); cursor and function keys arrive as a prefix code 0 or 224 and a
// second code, folded into one value. When standard input is not a console (a pipe or a file),
// its bytes are taken as keys, one each, and the end of the input ends the keys.
#include <conio.h>
#include <windows.h>

#include <cstdint>

#include "setup/key_input.h"

namespace {

enum class Source { kUnknown, kConsole, kStream };

struct StreamState {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool is_pipe = false;
  bool ended = false;
  bool has_byte = false;  // a byte read ahead to answer key_waiting()
  std::uint8_t byte = 0;
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

// Reads one byte into the look-ahead, blocking until it comes; nothing read means the end.
void stream_fill() {
  DWORD got = 0;
  std::uint8_t byte = 0;
  if (!ReadFile(g_stream.handle, &byte, 1, &got, nullptr) || got != 1) {
    g_stream.ended = true;
    return;
  }
  g_stream.byte = byte;
  g_stream.has_byte = true;
}

bool stream_waiting() {
  if (g_stream.has_byte) {
    return true;
  }
  if (g_stream.ended) {
    return false;
  }
  if (g_stream.is_pipe) {
    // Only a pipe can make a read wait, so only a pipe is asked first. A pipe that cannot be
    // asked (Wine's pipes from the host cannot) counts as having nothing yet.
    DWORD available = 0;
    if (!PeekNamedPipe(g_stream.handle, nullptr, 0, nullptr, &available, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) {
        g_stream.ended = true;
      }
      return false;
    }
    if (available == 0) {
      return false;
    }
  }
  // A file, a device such as NUL, or a pipe with data: the read answers at once.
  stream_fill();
  return g_stream.has_byte;
}

}  // namespace

void key_input_start() {
  source();
}

// Nothing of the console was changed: _getch reads without echo on its own.
void key_input_stop() {}

void key_input_release_for_exit() {}

bool key_waiting() {
  if (source() == Source::kConsole) {
    return _kbhit() != 0;
  }
  return stream_waiting();
}

int read_key() {
  if (source() == Source::kConsole) {
    const int first = _getch();
    if (first == 0 || first == 224) {
      return first + _getch() * 256;
    }
    return first;
  }
  if (!stream_waiting()) {
    return 0;  // only when called against the contract, after the input has ended
  }
  g_stream.has_byte = false;
  return g_stream.byte;
}

bool wait_for_key() {
  if (source() == Source::kStream) {
    // The read itself waits in the system until a byte or the end of the input comes.
    if (!g_stream.has_byte && !g_stream.ended) {
      stream_fill();
    }
    return g_stream.has_byte;
  }
  // The console keyboard can only be polled; a short sleep between tests keeps the wait off the
  // CPU.
  constexpr DWORD kSliceMs = 10;
  while (_kbhit() == 0) {
    Sleep(kSliceMs);
  }
  return true;
}
