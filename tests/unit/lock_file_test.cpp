// Lock files at the moments that matter: another program acting between this program's look at
// a lock and its change of it, and a signal arriving in the middle of making or removing its
// own; and the port's open, which must change nothing on a port it refuses. The file calls the
// lock routines use are wrapped here, so such a moment is produced on cue instead of by chance;
// the lock directory is a private one.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "link/lock/port_lock.h"
#include "link/port/serial_link.h"

namespace {

// What happens at the cue, in place of "nothing".
enum class Cue {
  kNone,
  kAnotherProgramLocks,  // before the path is renamed or unlinked: a live program's lock there
  kSignalAfterLink,      // after the path is linked: the exit path runs
  kSignalBeforeUnlink,   // before the path is unlinked: the exit path runs
  kLockBeforeLink,       // before the own lock is linked there: a live program's lock
};

Cue g_cue = Cue::kNone;
std::string g_cue_path;
bool g_left_behind = false;      // the lock still there once the exit path had run
std::string g_opened;            // the paths opened for writing, one a line
bool g_refuse_settings = false;  // tcsetattr fails, as on a port that will not take them

template <typename Call>
Call real(const char* name) {
  return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::string pid_text(long pid) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "%10ld\n", pid);
  return text.data();
}

void plant(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Runs the cue once, when the call is on the path it waits for.
bool take_cue(Cue cue, const char* path) {
  if (g_cue != cue || g_cue_path != path) {
    return false;
  }
  g_cue = Cue::kNone;
  return true;
}

void before_change(const char* path) {
  if (take_cue(Cue::kAnotherProgramLocks, path)) {
    // The stale lock goes and a live program's takes its place (the test's parent is alive).
    real<int (*)(const char*)>("unlink")(path);
    plant(path, pid_text(getppid()));
  } else if (take_cue(Cue::kSignalBeforeUnlink, path)) {
    drop_port_lock();  // what the signal handler does; the program ends after it
    g_left_behind = exists(path);
  }
}

// A private lock directory in place of /run/lock, in a mount namespace of this test's own
// (needs root), so that no test touches the machine's locks.
struct LockDir {
  LockDir() {
    std::array<char, 64> name{};
    std::snprintf(name.data(), name.size(), "/tmp/quorvel-lock-test-XXXXXX");
    struct stat other {};
    if (mkdtemp(name.data()) == nullptr || unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(name.data(), "/run/lock", nullptr, MS_BIND, nullptr) != 0 ||
        (lstat("/var/lock", &other) == 0 && S_ISDIR(other.st_mode) &&
         mount(name.data(), "/var/lock", nullptr, MS_BIND, nullptr) != 0)) {
      std::fprintf(stderr, "lock_file_tests: cannot make a lock directory of its own as root\n");
      std::exit(1);
    }
    path = name.data();
  }
  ~LockDir() { rmdir(path.c_str()); }
  std::string path;
} g_dir;

std::string lock_path(const std::string& name) {
  return "/run/lock/LCK.." + name;
}

long dead_pid() {
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  return child;
}

TEST(LockFile, StaleLockReplacedMeanwhileByALiveOneIsLeftToItsOwner) {
  const std::string path = lock_path("ttyQV0");
  plant(path, pid_text(dead_pid()));
  g_cue = Cue::kAnotherProgramLocks;
  g_cue_path = path;
  std::array<char, 256> reason{};
  EXPECT_TRUE(take_port_lock("/dev/ttyQV0", "/dev/ttyQV0", reason.data(), reason.size()));
  EXPECT_EQ(g_cue, Cue::kNone);  // the other program did come in between
  EXPECT_EQ(read_all(path), pid_text(getppid()));
  EXPECT_NE(std::string(reason.data())
                .find("in use by another program (PID " + std::to_string(getppid())),
            std::string::npos)
      << reason.data();
  drop_port_lock();
  EXPECT_TRUE(exists(path));
  unlink(path.c_str());
}

TEST(LockFile, SignalJustAfterTheLockIsMadeStillRemovesIt) {
  const std::string path = lock_path("ttyQV2");
  g_cue = Cue::kSignalAfterLink;
  g_cue_path = path;
  g_left_behind = true;
  std::array<char, 256> reason{};
  take_port_lock("/dev/ttyQV2", "/dev/ttyQV2", reason.data(), reason.size());
  EXPECT_EQ(g_cue, Cue::kNone);
  EXPECT_FALSE(g_left_behind);
  drop_port_lock();
  unlink(path.c_str());
}

TEST(LockFile, SignalWhileTheLockIsBeingRemovedStillRemovesIt) {
  const std::string path = lock_path("ttyQV3");
  std::array<char, 256> reason{};
  ASSERT_FALSE(take_port_lock("/dev/ttyQV3", "/dev/ttyQV3", reason.data(), reason.size()));
  g_cue = Cue::kSignalBeforeUnlink;
  g_cue_path = path;
  g_left_behind = true;
  drop_port_lock();
  EXPECT_EQ(g_cue, Cue::kNone);
  EXPECT_FALSE(g_left_behind);
  EXPECT_FALSE(exists(path));
}

}  // namespace

// The calls the lock routines make, each with its cue.
extern "C" int rename(const char* from, const char* to) noexcept {
  before_change(from);
  return real<int (*)(const char*, const char*)>("rename")(from, to);
}

extern "C" int unlink(const char* path) noexcept {
  before_change(path);
  return real<int (*)(const char*)>("unlink")(path);
}

extern "C" int link(const char* from, const char* to) noexcept {
  if (take_cue(Cue::kLockBeforeLink, to)) {
    plant(to, pid_text(getppid()));
  }
  const int result = real<int (*)(const char*, const char*)>("link")(from, to);
  if (result == 0 && take_cue(Cue::kSignalAfterLink, to)) {
    drop_port_lock();
    g_left_behind = exists(to);
  }
  return result;
}

extern "C" int open(const char* path, int flags, ...) {
  va_list more;
  va_start(more, flags);
  const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(more, int)) : 0;
  va_end(more);
  if ((flags & O_ACCMODE) != O_RDONLY) {
    g_opened += std::string(path) + "\n";
  }
  return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

extern "C" int tcsetattr(int fd, int when, const termios* modes) noexcept {
  if (g_refuse_settings && (modes->c_lflag & ICANON) == 0) {
    errno = EIO;
    return -1;
  }
  return real<int (*)(int, int, const termios*)>("tcsetattr")(fd, when, modes);
}

namespace {

// A port refused at any step is left as found: never opened for writing where the refusal can
// come first, its speed and modes untouched where it had to be opened to know.
TEST(OpenPort, RefusedPortIsLeftAsFound) {
  const struct {
    const char* name;
    bool dev_null, own_terminal, lock_appears, refuses_settings;
    const char* reason;
    bool opened;
  } cases[] = {
      {"not a terminal line", true, false, false, false, "not a serial port", false},
      {"the program's own terminal", false, true, false, false, "the terminal the program runs",
       false},
      {"a lock appearing as the own is made", false, false, true, false,
       "in use by another program (PID ", false},
      {"line settings refused", false, false, false, true,
       "the port refused its line settings (raw, 8 data bits, no parity, one stop bit, 9600 "
       "bit/s): Input/output error",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int master = -1;
    int slave = -1;
    std::array<char, 64> name{};
    ASSERT_EQ(openpty(&master, &slave, name.data(), nullptr, nullptr), 0);
    termios before{};
    tcgetattr(slave, &before);
    cfsetspeed(&before, B4800);
    before.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
    const std::string device = c.dev_null ? "/dev/null" : name.data();
    const int saved_input = dup(0);
    if (c.own_terminal) {
      dup2(slave, 0);
    }
    g_cue = c.lock_appears ? Cue::kLockBeforeLink : Cue::kNone;
    g_cue_path = lock_path(device.substr(device.rfind('/') + 1));
    g_refuse_settings = c.refuses_settings;
    g_opened.clear();
    EXPECT_EQ(open_port(device.c_str(), 9600), kInvalidPort);
    g_refuse_settings = false;
    dup2(saved_input, 0);
    close(saved_input);
    EXPECT_NE(std::string(open_failure_reason()).find(c.reason), std::string::npos)
        << open_failure_reason();
    EXPECT_EQ(g_opened.find(device + "\n") != std::string::npos, c.opened) << g_opened;
    termios after{};
    tcgetattr(slave, &after);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B4800));
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
    EXPECT_FALSE(exists(g_cue_path) && read_all(g_cue_path) == pid_text(getpid()));
    unlink(g_cue_path.c_str());
    close(slave);
    close(master);
  }
}

}  // namespace
