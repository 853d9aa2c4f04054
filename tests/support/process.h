// The harness's plumbing: reading what children write without ever blocking them, starting
// them, and its own failure reports. For the harness's sources only.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace e2e {

// Hands `what` to the failure hook. Returns true, for `return fail(...)` in a failure flag.
bool fail(const std::string& what);

// Whether deadline_ms have not yet passed since `start` on the monotonic clock.
bool before(std::chrono::steady_clock::time_point start, int deadline_ms);

// Appends what is readable now (waiting up to timeout_ms); false at end of file.
bool pump(int fd, std::string& into, int timeout_ms);
// Like pump, but also returns as soon as end_fd (a process descriptor) becomes readable, and
// only sleeps on end_fd when fd is -1.
bool pump_until_end(int fd, std::string& into, int end_fd, int timeout_ms);
// Throws away whatever is readable on fd now; -1 is ignored.
void drain(int fd);

// In a child: runs words[0] with the words as arguments, and with *env as the whole
// environment unless env is null. Only returns, as exit 127, when that fails.
[[noreturn]] void exec_words(const std::vector<std::string>& words,
                             const std::vector<std::string>* env);

}  // namespace e2e
