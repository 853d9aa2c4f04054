// The POSIX port's byte write when a signal interrupts it. The test binary is linked with
// --wrap=write, so a write can be made to fail with EINTR as a signal arriving mid-call would.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>

#include "link/port/serial_link.h"

extern "C" ssize_t __real_write(int fd, const void* data, size_t size);

namespace {
int g_interrupted_fd = -1;
int g_interruptions_left = 0;
int g_calls = 0;
}  // namespace

// Every write of the binary comes here; only the descriptor under test is interrupted.
extern "C" ssize_t __wrap_write(int fd, const void* data, size_t size) {
  if (fd == g_interrupted_fd) {
    ++g_calls;
    if (g_interruptions_left > 0) {
      --g_interruptions_left;
      errno = EINTR;
      return -1;
    }
  }
  return __real_write(fd, data, size);
}

namespace {

TEST(WriteByte, ASignalDuringTheWriteNeitherLosesNorDoublesTheByte) {
  for (const int interruptions : {1, 3}) {
    SCOPED_TRACE(interruptions);
    std::array<int, 2> pipe_fds{};
    ASSERT_EQ(pipe2(pipe_fds.data(), O_NONBLOCK | O_CLOEXEC), 0);
    g_interrupted_fd = pipe_fds[1];
    g_interruptions_left = interruptions;
    g_calls = 0;
    write_byte(pipe_fds[1], 0, '7');
    g_interrupted_fd = -1;
    std::array<char, 4> got{};
    EXPECT_EQ(read(pipe_fds[0], got.data(), got.size()), 1);
    EXPECT_EQ(got[0], '7');
    EXPECT_EQ(g_calls, interruptions + 1);  // tried again at once, not after a wait
    close(pipe_fds[0]);
    close(pipe_fds[1]);
  }
}

}  // namespace
