// Reading a lock file: LCK..<name> holds its owner's PID as text, and nothing in it is taken on
// trust.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/reason.h"
#include "link/diagnosis/port_reason.h"
#include "link/lock/lock_reading.h"

namespace {

constexpr std::size_t kLockBytes = 64;  // the longest lock text read

// Reads a PID written as text: blanks, digits, then perhaps a blank and printable words (minicom
// adds its name and the user's), an optional newline, nothing else. Only calls that are safe
// in a signal handler.
bool parse_pid(const char* text, std::size_t length, long& pid) {
  std::size_t i = 0;
  while (i < length && text[i] == ' ') {
    ++i;
  }
  long value = 0;
  std::size_t digits = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    value = value * 10 + (text[i] - '0');
    if (value > 0x7fffffffL) {
      return true;
    }
  }
  if (digits != 0 && i < length && text[i] == ' ') {
    while (i < length && text[i] >= ' ' && text[i] <= '~') {
      ++i;
    }
  }
  if (i < length && text[i] == '\n') {
    ++i;
  }
  if (digits == 0 || i != length || value <= 0) {
    return true;
  }
  pid = value;
  return false;
}

}  // namespace

LockInfo read_lock(const char* path) {
  LockInfo info;
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    info.state = errno == ENOENT ? LockState::kAbsent : LockState::kUntrusted;
    return info;
  }
  info.state = LockState::kUntrusted;
  struct stat status {};
  std::array<char, kLockBytes> text{};
  ssize_t got = -1;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
      status.st_size < static_cast<off_t>(text.size())) {
    got = read(fd, text.data(), text.size() - 1);
  }
  close(fd);
  if (got <= 0 || parse_pid(text.data(), static_cast<std::size_t>(got), info.pid)) {
    return info;
  }
  if (info.pid == static_cast<long>(getpid())) {
    info.state = LockState::kOwn;
  } else if (kill(static_cast<pid_t>(info.pid), 0) == 0 || errno == EPERM) {
    info.state = LockState::kLive;  // EPERM: alive, only owned by someone else
  } else {
    info.state = LockState::kStale;
  }
  return info;
}

void say_lock_refusal(const LockInfo& info, const char* path, char* reason, std::size_t size) {
  // The path holds the port's name as given, which may hold anything: quoted like the name.
  constexpr std::size_t kPathShown = 120;
  std::array<char, kPathShown + sizeof "..."> shown{};
  show_text(shown.data(), shown.size(), path, std::strlen(path), kPathShown);
  if (info.state == LockState::kLive) {
    std::array<char, 64> who{};
    describe_process(info.pid, who.data(), who.size());
    std::snprintf(reason, size, "in use by another program (%s; lock file %s)", who.data(),
                  shown.data());
  } else {
    std::snprintf(reason, size,
                  "locked by %s, which is not a lock file holding a PID; remove it if no "
                  "program is using the port",
                  shown.data());
  }
}
