// The way out on a POSIX system, with stand-ins for what the seams give back: a second ending
// signal that comes while the first one's handler is giving things back waits its turn.
#include "driver/exit_path.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <string>

#include "link/port/serial_link.h"
#include "setup/key_input.h"

namespace {

int g_log_fd = -1;
int g_second_signal = 0;  // raised from inside the first handler, once

void note(char what) {
  (void)!write(g_log_fd, &what, 1);
}

}  // namespace

// What the seams give back, as the handlers call it: noted in order on a pipe.
void key_input_resume_for_signal() {}
void key_input_release_for_exit() {
  note('K');
  if (const int second = g_second_signal; second != 0) {
    g_second_signal = 0;
    raise(second);  // arrives while the terminal is being given back
  }
}
void release_port_for_exit() {
  note('P');
}

namespace {

TEST(ExitPath, AnotherEndingSignalWaitsUntilTheFirstHasGivenEverythingBack) {
  // The last two: a crash, and what ASan leaves to the program.
  const struct {
    int first, second;
  } cases[] = {
      {SIGINT, SIGTERM},  {SIGTERM, SIGINT},   {SIGHUP, SIGQUIT},  {SIGPIPE, SIGHUP},
      {SIGALRM, SIGUSR1}, {SIGXCPU, SIGRTMIN}, {SIGABRT, SIGXFSZ},
  };
  for (const auto& [first, second] : cases) {
    SCOPED_TRACE(std::string(strsignal(first)) + " then " + strsignal(second));
    std::array<int, 2> log{};
    ASSERT_EQ(pipe(log.data()), 0);
    const pid_t child = fork();
    if (child == 0) {
      g_log_fd = log[1];
      g_second_signal = second;
      install_exit_path();
      raise(first);
      _exit(0);  // not reached: one of the two signals ends the program
    }
    close(log[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    std::array<char, 16> given_back{};  // all of it is in the pipe once the child has ended
    ASSERT_GE(read(log[0], given_back.data(), given_back.size() - 1), 0);
    close(log[0]);
    // The terminal, then the port; a second handler that runs before the program ends starts
    // only after the first has finished, never in the middle of it.
    const std::string got = given_back.data();
    EXPECT_TRUE(got == "KP" || got == "KPKP") << got;
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(WTERMSIG(status) == first || WTERMSIG(status) == second) << WTERMSIG(status);
  }
}

}  // namespace
