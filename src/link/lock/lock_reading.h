// What a lock file in a lock directory says, for the lock files of the port. Only the files of
// this folder include it.
#pragma once

#include <cstddef>

// A lock file as found: none, a stale one (its program is gone), a live program's, this
// program's own, or one that cannot be trusted (not a small regular file holding a PID, or a
// link).
enum class LockState { kAbsent, kStale, kLive, kOwn, kUntrusted };

struct LockInfo {
  LockState state = LockState::kAbsent;
  long pid = 0;
};

// Opens the lock at path without following a link and reads its PID. Async-signal-safe.
LockInfo read_lock(const char* path);

// Writes into reason why the lock at path, live or untrusted, keeps this program off the port.
void say_lock_refusal(const LockInfo& info, const char* path, char* reason, std::size_t size);
