// The way out on a POSIX system, with stand-ins for what the seams give back: a second ending
// signal that comes while the first one's handler is giving things back waits its turn.
#include "driver/exit_path.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <string>

#include "link/serial_link.h"
#include "setup/key_input.h"

namespace {

int g_log_fd = -1;
int g_second_signal = 0;  // raised from inside the first handler, once

void note(char what) {
  ssize_t ignored = write(g_log_fd, &what, 1);
  (void)ignored;
}

}  // namespace

// What the seams give back, as the handlers call it: noted in order on a pipe.
void key_input_resume_for_signal() {}
void key_input_release_for_exit() {
  note('K');
  if (g_second_signal != 0) {
    const int second = g_second_signal;
    g_second_signal = 0;
    raise(second);  // arrives while the terminal is being given back
  }
}

void release_port_for_exit() {
  note('P');
}

namespace {

TEST(ExitPath, AnotherEndingSignalWaitsUntilTheFirstHasGivenEverythingBack) {
  const struct {
    int first;
    int second;
  } cases[] = {
      {SIGINT, SIGTERM},  {SIGTERM, SIGINT},   {SIGHUP, SIGQUIT},  {SIGPIPE, SIGHUP},
      {SIGALRM, SIGUSR1}, {SIGXCPU, SIGRTMIN}, {SIGABRT, SIGXFSZ},  // a crash, and what ASan leaves
                                                                    // to the program
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.first)) + " then " + strsignal(c.second));
    std::array<int, 2> log{};
    ASSERT_EQ(pipe(log.data()), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(log[0]);
      g_log_fd = log[1];
      g_second_signal = c.second;
      install_exit_path();
      raise(c.first);
      _exit(0);  // not reached: one of the two signals ends the program
    }
    close(log[1]);
    std::string given_back;
    std::array<char, 16> chunk{};
    for (ssize_t got; (got = read(log[0], chunk.data(), chunk.size())) > 0;) {
      given_back.append(chunk.data(), static_cast<std::size_t>(got));
    }
    close(log[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    // The terminal, then the port; a second handler that runs before the program ends starts
    // only after the first has finished, never in the middle of it.
    EXPECT_TRUE(given_back == "KP" || given_back == "KPKP") << given_back;
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(WTERMSIG(status) == c.first || WTERMSIG(status) == c.second) << WTERMSIG(status);
  }
}

}  // namespace
