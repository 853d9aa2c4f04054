// What a real line does that a quiet pseudo-terminal does not: junk that never stops, a slow
// speed, an adapter pulled and plugged back, and how the technician starts the program: in the
// background of a shell, or as a user who may not open the port.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

const char kFailed[] = "Failed (press ESC to exit)\n";
constexpr int kStoppedStatus = 99;  // the miniature shell's word for "the job was stopped"

std::vector<std::string> args_for(const std::string& port) {
  return {"-c", port, "-t", "12:30:00", "-d", "7\\12\\2009", "-l", "0"};
}

Settings settings_for(const std::string& port) {
  Settings s;
  s.port = port;
  s.line_ms = 0;
  return s;
}

std::string device_of(const std::string& path) {
  std::array<char, PATH_MAX> device{};
  return realpath(path.c_str(), device.data()) != nullptr ? device.data() : "";
}

// Points link at target in one step, as udev does with /dev/serial/by-id names.
void point(const std::string& link, const std::string& target) {
  const std::string next = link + ".next";
  unlink(next.c_str());
  ASSERT_EQ(symlink(target.c_str(), next.c_str()), 0);
  ASSERT_EQ(rename(next.c_str(), link.c_str()), 0);
}

// kBehindEditor: in the background of a shell that edits its command line meanwhile.
enum class Job { kBackground, kBehindEditor, kAsNobody, kAsIs };

volatile sig_atomic_t g_bring_to_front = 0;
void on_front(int /*signal_number*/) {
  g_bring_to_front = 1;
}

// A job-control shell in miniature, as the tool's session leader and foreground: it runs the
// tool in a process group of its own, in the background, and brings it to the front (tcsetpgrp
// and SIGCONT, as `fg` does) on SIGUSR1. Ends with the tool's status, or kStoppedStatus when the
// tool was stopped. An `editing` shell has the terminal in its line editor's modes (no echo,
// no line discipline, as readline keeps it) while the job runs behind, and gives it its
// ordinary modes back before bringing the job to the front, as bash does.
[[noreturn]] void run_shell(char** argv, char** env, bool editing) {
  struct sigaction front {};
  front.sa_handler = on_front;
  sigemptyset(&front.sa_mask);
  sigaction(SIGUSR1, &front, nullptr);
  signal(SIGTTOU, SIG_IGN);  // the shell itself hands the terminal over
  termios ordinary{};
  tcgetattr(0, &ordinary);
  if (editing) {
    termios editor = ordinary;
    editor.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    tcsetattr(0, TCSANOW, &editor);
  }
  const pid_t job = fork();
  if (job == 0) {
    setpgid(0, 0);
    signal(SIGTTOU, SIG_DFL);
    execve(argv[0], argv, env);
    _exit(127);
  }
  setpgid(job, job);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(job, &status, WUNTRACED);
    if (done < 0 && g_bring_to_front != 0) {
      g_bring_to_front = 0;
      tcsetattr(0, TCSANOW, &ordinary);
      tcsetpgrp(0, job);
      kill(-job, SIGCONT);
    } else if (done == job && WIFSTOPPED(status)) {
      kill(job, SIGKILL);
      waitpid(job, nullptr, 0);
      _exit(kStoppedStatus);
    } else if (done == job) {
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
  }
}

// The tool where nobody may run it: a clone in a private folder (mktemp -d makes it 0700) is
// out of nobody's reach, so the binary is copied once into a folder of its own, removed at exit.
std::string tool_for_nobody() {
  static std::string path;
  if (!path.empty()) {
    return path;
  }
  std::array<char, 64> folder{};
  std::snprintf(folder.data(), folder.size(), "/tmp/quorvel-nobody.XXXXXX");
  if (mkdtemp(folder.data()) == nullptr || chmod(folder.data(), 0755) != 0) {
    return tool_path();
  }
  const std::string copy = std::string(folder.data()) + "/quorvel-setup";
  const int from = open(tool_path().c_str(), O_RDONLY | O_CLOEXEC);
  const int to = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
  std::array<char, 65536> buffer{};
  ssize_t n = 0;
  bool ok = from >= 0 && to >= 0 && fchmod(to, 0755) == 0;  // whatever the umask
  while (ok && (n = read(from, buffer.data(), buffer.size())) > 0) {
    ok = write(to, buffer.data(), static_cast<std::size_t>(n)) == n;
  }
  ok = ok && n == 0;
  if (from >= 0) {
    close(from);
  }
  if (to >= 0) {
    close(to);
  }
  static std::string made_folder;
  made_folder = folder.data();
  path = ok ? copy : tool_path();
  std::atexit([] {
    unlink((made_folder + "/quorvel-setup").c_str());
    rmdir(made_folder.c_str());
  });
  return path;
}

// Starts the tool with its keyboard on a fresh pseudo-terminal, like start_tool, but as a
// background job of a shell or as the unprivileged user nobody, with `locks` as its lock
// directory.
void start_job(Tool& tool, const std::vector<std::string>& args, Job job,
               const std::string& locks = lock_dir()) {
  int master = -1;
  int slave = -1;
  std::array<char, 128> name{};
  ASSERT_EQ(openpty(&master, &slave, name.data(), nullptr, nullptr), 0);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  tool.keys_fd = master;
  tool.slave_fd = slave;
  ASSERT_EQ(tcgetattr(slave, &tool.modes_before), 0);
  std::array<int, 2> out{};
  std::array<int, 2> err{};
  ASSERT_EQ(pipe2(out.data(), O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(err.data(), O_CLOEXEC), 0);
  std::vector<std::string> words = args;
  words.insert(words.begin(), job == Job::kAsNobody ? tool_for_nobody() : tool_path());
  std::vector<std::string> env_words = {"TZ=UTC", "PATH=/usr/bin:/bin"};
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> env;
  for (std::string& word : env_words) {
    env.push_back(word.data());
  }
  env.push_back(nullptr);
  tool.pid = fork();
  ASSERT_GE(tool.pid, 0);
  if (tool.pid == 0) {
    setsid();
    use_private_locks(locks);
    const int tty = open(name.data(), O_RDWR);
    ioctl(tty, TIOCSCTTY, 0);
    dup2(tty, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (job == Job::kBackground || job == Job::kBehindEditor) {
      run_shell(argv.data(), env.data(), job == Job::kBehindEditor);
    }
    constexpr gid_t kNobody = 65534;
    if (job == Job::kAsNobody &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(126);
    }
    execve(argv[0], argv.data(), env.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  tool.pid_fd = static_cast<int>(syscall(SYS_pidfd_open, tool.pid, 0));
  tool.out_fd = out[0];
  tool.err_fd = err[0];
}

TEST(LineFaults, JunkThatNeverStopsStillGivesAFailedLineEverySecond) {
  const struct {
    const char* name;
    std::vector<std::string> unit_options;
    bool echoes;
  } cases[] = {
      {"junk and no echo", {"--flood", "--silent"}, false},
      {"echoes between the junk", {"--flood"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unit unit;
    start_unit(unit, c.unit_options);
    Tool tool;
    start_tool(tool, args_for(unit.path));
    if (c.echoes) {
      EXPECT_EQ(wait_exit(tool, 4 * kDeadlineMs), 0);
      EXPECT_NE(tool.out.find("All done without errors\n"), std::string::npos) << tool.out;
    } else {
      ASSERT_TRUE(wait_output(tool, kFailed));
      ASSERT_TRUE(wait_output(tool, kFailed, tool.out.find(kFailed) + 1));
      type(tool, "\x1b");
      EXPECT_EQ(wait_exit(tool), 2);
      EXPECT_NE(tool.out.find("User abort\n!! Failed !!\n"), std::string::npos) << tool.out;
      EXPECT_TRUE(modes_restored(tool));
    }
    EXPECT_EQ(tool.err, "");
  }
}

TEST(LineFaults, SlowLineEchoingAtItsOwnSpeedIsAcknowledged) {
  // At 50 bit/s the unlock line's echo alone comes more than a second after the line, yet each
  // step is acknowledged at its first attempt. The first step shows it; ESC then ends the run,
  // with the next line sent (or, should the key come after that line's look at the keyboard,
  // the one after it).
  Unit unit;
  start_unit(unit, {"--pace", "50"});
  std::vector<std::string> args = args_for(unit.path);
  args.insert(args.end(), {"-b", "50"});
  Tool tool;
  start_tool(tool, args);
  const std::string first_done = std::string(kStepLabels[0]) + kDoneText;
  ASSERT_TRUE(wait_output(tool, first_done));
  type(tool, "\x1b");
  EXPECT_EQ(wait_exit(tool), 2);
  Settings s = settings_for(unit.path);
  s.baud = 50;
  const std::string start = "Quorvel Setup\n" + summary(s) + "Sending data\n" + first_done;
  const std::string end = std::string(kUserAbortText) + "!! Failed !!\n";
  EXPECT_EQ(tool.out.rfind(start, 0), 0U) << tool.out;
  ASSERT_GE(tool.out.size(), start.size() + end.size());
  EXPECT_EQ(tool.out.substr(tool.out.size() - end.size()), end);
  EXPECT_EQ(count(tool, kFailed), 0) << tool.out;
  EXPECT_EQ(tool.err, "");
}

TEST(LineFaults, PortThatComesBackIsOpenedAgainAndTheRunStartsAgainFromTheUnlock) {
  // The second unit starts locked, as a unit powered again does: sent on from the step the run
  // was at, every setting would be ignored.
  Unit first;
  start_unit(first, {"--hangup", "40"});  // gone in the sixth line
  Unit second;
  start_unit(second, {});
  // The tool's port is a name that leads to whichever unit is plugged in.
  const std::string port = first.dir + "/qv-replug-" + std::to_string(getpid());
  point(port, device_of(first.path));
  const std::string first_lock = lock_dir() + "/LCK.." + device_of(first.path).substr(9);
  Tool tool;
  tool.errors = Errors::kOwn;  // the going and the coming back are said, checked below
  std::vector<std::string> args = args_for(port);
  args[7] = "200";  // lines apart, so the unit hangs up well after the first echo
  start_tool(tool, args);
  // The tool keeps its lock on the first unit's device while that is gone; holding the device
  // open keeps its number from other tests running meanwhile. The tool would refuse a port held
  // when it starts, so it is held once the tool has it.
  ASSERT_TRUE(wait_output(tool, "Done\n"));
  struct Held {
    ~Held() { close(fd); }
    int fd;
  } held{open(first.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
  ASSERT_GE(held.fd, 0);
  // Unplugged: once the port is closed its name leads nowhere (and never to a pseudo-terminal
  // that another test has been given meanwhile).
  ASSERT_TRUE(wait_output(tool, "{ 9} : Done\n"));
  point(port, first.dir + "/unplugged");
  ASSERT_TRUE(wait_output(tool, kFailed));
  const std::size_t gone_at = tool.out.size();
  ASSERT_TRUE(wait_output(tool, kFailed, gone_at));  // still at the usual pace while it is gone
  take_errors(tool, 100);
  EXPECT_EQ(tool.err,
            "quorvel-setup: " + port + ": the port has gone; plug it back in, or press ESC\n");
  struct stat info {};
  EXPECT_EQ(lstat(first_lock.c_str(), &info), 0);  // the lock stays while the port is gone
  point(port, device_of(second.path));
  EXPECT_EQ(wait_exit(tool), 0);
  // The last attempt on the gone port, then every label again, as sent.
  const std::string tail = kFailed + sixteen_done().substr(std::strlen("Sending data\n"));
  ASSERT_GE(tool.out.size(), tail.size());
  EXPECT_EQ(tool.out.substr(tool.out.size() - tail.size()), tail);
  EXPECT_EQ(tool.err, "quorvel-setup: " + port +
                          ": the port has gone; plug it back in, or press ESC\n"
                          "quorvel-setup: " +
                          port + ": the port is back; starting again from the unlock\n");
  EXPECT_EQ(stop_unit(second), loaded_state(settings_for(port)));
  EXPECT_EQ(wire(second), clean_wire(settings_for(port)));
  EXPECT_NE(lstat(first_lock.c_str(), &info), 0);
  unlink(port.c_str());
}

TEST(Jobs, CommandLineRunStartedInTheBackgroundRunsToItsVerdict) {
  Unit unit;
  start_unit(unit, {});
  Tool tool;
  start_job(tool, args_for(unit.path), Job::kBackground);
  EXPECT_EQ(wait_exit(tool), 0);  // kStoppedStatus when it was stopped by SIGTTOU
  EXPECT_EQ(tool.out, "Quorvel Setup\n" + summary(settings_for(unit.path)) + sixteen_done());
  EXPECT_EQ(tool.err, "");
  EXPECT_TRUE(modes_restored(tool));
}

TEST(Jobs, DialogueInTheBackgroundTakesRawModeWhenBroughtToTheFront) {
  Tool tool;
  start_job(tool, {}, Job::kBackground);
  ASSERT_TRUE(wait_output(tool, "[ COM1]: "));
  EXPECT_TRUE(modes_restored(tool));  // the terminal is the shell's while the job is behind
  kill(tool.pid, SIGUSR1);
  // In front it takes raw mode: a key then shows without Enter.
  for (int tries = 0; tries < 300 && modes_restored(tool); ++tries) {
    wait_output(tool, "never printed", 0, 100);
  }
  EXPECT_FALSE(modes_restored(tool));
  type(tool, "Q");
  EXPECT_TRUE(wait_output(tool, "[ COM1]: Q"));
  type(tool, "\x1b");
  EXPECT_EQ(wait_exit(tool), 1);
  EXPECT_TRUE(modes_restored(tool));
}

TEST(Jobs, DialogueBroughtToTheFrontGivesBackTheModesItFoundThere) {
  // Not those it saw from behind, which were the shell's line editor's.
  Tool tool;
  start_job(tool, {}, Job::kBehindEditor);
  ASSERT_TRUE(wait_output(tool, "[ COM1]: "));
  kill(tool.pid, SIGUSR1);
  type(tool, "Q");
  EXPECT_TRUE(wait_output(tool, "[ COM1]: Q"));  // a key without Enter: raw mode taken
  type(tool, "\x1b");
  EXPECT_EQ(wait_exit(tool), 1);
  EXPECT_TRUE(modes_restored(tool));
}

TEST(Jobs, PortThisUserMayNotOpenSaysHowToGetAccess) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to give the port away and to run the program as nobody";
  }
  const group* dialout = getgrnam("dialout");
  ASSERT_NE(dialout, nullptr);
  const std::string sudo = access("/usr/bin/sudo", X_OK) == 0 ? "sudo " : "";
  const struct {
    const char* name;
    gid_t group;
    std::string hint;
  } cases[] = {
      {"a port of the dialout group", dialout->gr_gid,
       "add yourself to the dialout group (" + sudo +
           "usermod -aG dialout $USER) and log in "
           "again"},
      {"a port of root's group", 0,
       "this user may not open the port; ask the administrator for access"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unit unit;
    start_unit(unit, {});
    const std::string device = device_of(unit.path);
    ASSERT_EQ(chown(device.c_str(), 0, c.group), 0);
    ASSERT_EQ(chmod(device.c_str(), 0660), 0);  // root and the group alone
    Tool tool;
    start_job(tool, args_for(device), Job::kAsNobody);
    EXPECT_EQ(wait_exit(tool), 1);
    EXPECT_EQ(tool.out, "Quorvel Setup\n\n! Unable to open COM port: " + device + ", 9600\n");
    EXPECT_EQ(tool.err, "quorvel-setup: " + device + ": permission denied: " + c.hint + "\n");
  }
}

TEST(Jobs, RunHoldingNoLockOfItsOwnSaysSoAndLeavesThePortToFlockAndExclusiveUse) {
  // Where /run/lock is root's alone, or holds another user's stale lock, a user's run takes no
  // lock file; root writes anywhere, so the program is run as nobody.
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to run the program as nobody";
  }
  const struct {
    const char* name;
    mode_t mode;
    bool stale;  // root's stale lock of the port in it
    std::string why;
  } cases[] = {
      {"a lock directory this user may not write", 0755, false,
       "this user may not write in /run/lock"},
      {"another user's stale lock", 01777, true, "the stale lock /run/lock/LCK.."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Unit unit;
    start_unit(unit, {"--silent"});
    const std::string device = device_of(unit.path);
    ASSERT_EQ(chmod(device.c_str(), 0666), 0);
    std::array<char, 64> name{};
    std::snprintf(name.data(), name.size(), "/tmp/quorvel-readonly-XXXXXX");
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    const std::string locks = name.data();
    const std::string stale = locks + "/LCK.." + device.substr(device.rfind('/') + 1);
    if (c.stale) {
      const pid_t child = fork();
      if (child == 0) {
        _exit(0);
      }
      waitpid(child, nullptr, 0);
      FILE* file = std::fopen(stale.c_str(), "w");
      ASSERT_NE(file, nullptr);
      std::fprintf(file, "%10ld\n", static_cast<long>(child));
      std::fclose(file);
    }
    ASSERT_EQ(chmod(locks.c_str(), c.mode), 0);
    Tool first;
    first.errors = Errors::kOwn;
    start_job(first, args_for(device), Job::kAsNobody, locks);
    ASSERT_TRUE(wait_output(first, kFailed));
    take_errors(first, 100);
    EXPECT_EQ(
        first.err.rfind("quorvel-setup: " + device + ": going on without a lock file (" + c.why, 0),
        0U)
        << first.err;
    EXPECT_EQ(first.err.find('\n'), first.err.size() - 1) << first.err;
    // A second run is still kept off the port, by the first one's flock and exclusive use.
    Tool second;
    start_job(second, args_for(device), Job::kAsNobody, locks);
    EXPECT_EQ(wait_exit(second), 1);
    EXPECT_EQ(second.out, "Quorvel Setup\n\n! Unable to open COM port: " + device + ", 9600\n");
    EXPECT_EQ(second.err, "quorvel-setup: " + device + ": in use by another program (PID " +
                              std::to_string(first.pid) + ", quorvel-setup)\n");
    type(first, "\x1b");
    EXPECT_EQ(wait_exit(first), 2);
    EXPECT_NE(first.out.find("User abort\n!! Failed !!\n"), std::string::npos) << first.out;
    struct stat info {};
    EXPECT_EQ(lstat(stale.c_str(), &info) == 0, c.stale);
    unlink(stale.c_str());
    EXPECT_EQ(rmdir(locks.c_str()), 0);  // nothing else was left there
  }
}

}  // namespace
}  // namespace e2e
