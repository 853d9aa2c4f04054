// The POSIX port at the moments that matter: another program acting between this program's look
// at a lock and its change of it, a signal arriving in the middle of making or removing its own
// lock, the open of a port it refuses (which must change nothing on it), and a byte's write that
// a signal interrupts. The calls these use are wrapped here, so such a moment is produced on cue
// instead of by chance; the lock directory is a private one.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iomanip>
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
int g_interrupted_fd = -1;       // its writes fail with EINTR, the first g_interruptions of them
int g_interruptions = 0;
int g_writes = 0;

template <typename Call>
Call real(const char* name) {
  return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A lock file at path, as the program with pid makes it: the PID in ten characters and a newline.
void plant(const std::string& path, long pid) {
  std::ofstream(path, std::ios::trunc) << std::setw(10) << pid << '\n';
}

// The PID a lock file holds; 0 when there is no file, -1 when it holds no PID.
long lock_pid(const std::string& path) {
  std::ifstream in(path);
  long pid = 0;
  return !in ? 0 : in >> pid ? pid : -1;
}

// Plays the cue once, when its moment comes on the path it waits for.
void cue(Cue moment, const char* path) {
  if (g_cue != moment || g_cue_path != path) {
    return;
  }
  g_cue = Cue::kNone;
  if (moment == Cue::kSignalAfterLink || moment == Cue::kSignalBeforeUnlink) {
    drop_port_lock();  // what the signal handler does; the program ends after it
    g_left_behind = lock_pid(path) != 0;
  } else {
    // Whatever lock is there goes and a live program's takes its place (the test's parent).
    real<int (*)(const char*)>("unlink")(path);
    plant(path, getppid());
  }
}

// A private lock directory in place of /run/lock, in a mount namespace of this test's own
// (needs root), so that no test touches the machine's locks.
struct LockDir {
  LockDir() {
    std::snprintf(path.data(), path.size(), "/tmp/quorvel-lock-test-XXXXXX");
    struct stat other {};
    if (mkdtemp(path.data()) == nullptr || unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(path.data(), "/run/lock", nullptr, MS_BIND, nullptr) != 0 ||
        (lstat("/var/lock", &other) == 0 && S_ISDIR(other.st_mode) &&
         mount(path.data(), "/var/lock", nullptr, MS_BIND, nullptr) != 0)) {
      std::fprintf(stderr, "lock_file_tests: cannot make a lock directory of its own as root\n");
      std::exit(1);
    }
  }
  ~LockDir() { rmdir(path.data()); }
  std::array<char, 64> path{};
} g_dir;

std::string lock_path(const std::string& name) {
  return "/run/lock/LCK.." + name;
}

TEST(LockFile, AnotherProgramOrASignalInTheMiddleOfAChange) {
  const struct {
    const char* name;
    Cue cue;
    bool stale;  // a dead program's lock is there first (no system gives out PIDs this high)
  } cases[] = {
      {"a stale lock replaced meanwhile by a live one is left to its owner",
       Cue::kAnotherProgramLocks, true},
      {"a signal just after the lock is made still removes it", Cue::kSignalAfterLink, false},
      {"a signal while the lock is being removed still removes it", Cue::kSignalBeforeUnlink,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = lock_path("ttyQV0");
    if (c.stale) {
      plant(path, 2147483647);
    }
    g_cue = c.cue;
    g_cue_path = path;
    g_left_behind = true;
    std::array<char, 256> reason{};
    EXPECT_EQ(take_port_lock("/dev/ttyQV0", "/dev/ttyQV0", reason.data(), reason.size()), c.stale);
    drop_port_lock();
    EXPECT_EQ(g_cue, Cue::kNone);  // the moment did come
    if (c.stale) {
      EXPECT_TRUE(has(reason.data(), "in use by another program (PID " + std::to_string(getppid())))
          << reason.data();
      EXPECT_EQ(lock_pid(path), getppid());
    } else {
      EXPECT_FALSE(g_left_behind);
      EXPECT_EQ(lock_pid(path), 0);
    }
    unlink(path.c_str());
  }
}

}  // namespace

// The calls the lock routines and the port make, each with its cue.
extern "C" int rename(const char* from, const char* to) noexcept {
  cue(Cue::kAnotherProgramLocks, from);
  return real<int (*)(const char*, const char*)>("rename")(from, to);
}

extern "C" int unlink(const char* path) noexcept {
  cue(Cue::kAnotherProgramLocks, path);
  cue(Cue::kSignalBeforeUnlink, path);
  return real<int (*)(const char*)>("unlink")(path);
}

extern "C" int link(const char* from, const char* to) noexcept {
  cue(Cue::kLockBeforeLink, to);
  const int result = real<int (*)(const char*, const char*)>("link")(from, to);
  if (result == 0) {
    cue(Cue::kSignalAfterLink, to);
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

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  if (fd == g_interrupted_fd && g_writes++ < g_interruptions) {
    errno = EINTR;  // as a signal arriving mid-call makes it
    return -1;
  }
  return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
}

namespace {

// A port refused at any step is left as found: never opened for writing where the refusal can
// come first, its speed and modes untouched where it had to be opened to know.
TEST(OpenPort, RefusedPortIsLeftAsFound) {
  enum Refusal { kOwnTerminal, kLockAppears, kSettingsRefused };
  const struct {
    Refusal refusal;
    const char* reason;
  } cases[] = {
      {kOwnTerminal, "the terminal the program runs"},
      {kLockAppears, "in use by another program (PID "},  // as the own lock is made
      {kSettingsRefused,
       "the port refused its line settings (raw, 8 data bits, no parity, one "
       "stop bit, 9600 bit/s): Input/output error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    int master = -1;
    int slave = -1;
    std::array<char, 64> name{};
    ASSERT_EQ(openpty(&master, &slave, name.data(), nullptr, nullptr), 0);
    termios before{};  // as a new terminal line is made, cooked at 38400 bit/s
    tcgetattr(slave, &before);
    const std::string device = name.data();
    const int saved_input = dup(0);
    if (c.refusal == kOwnTerminal) {
      dup2(slave, 0);
    }
    g_cue = c.refusal == kLockAppears ? Cue::kLockBeforeLink : Cue::kNone;
    g_cue_path = lock_path(device.substr(device.rfind('/') + 1));
    g_refuse_settings = c.refusal == kSettingsRefused;
    g_opened.clear();
    EXPECT_EQ(open_port(device.c_str(), 9600), kInvalidPort);
    g_refuse_settings = false;
    dup2(saved_input, 0);
    close(saved_input);
    EXPECT_TRUE(has(open_failure_reason(), c.reason)) << open_failure_reason();
    // Opened only where that was the way to know.
    EXPECT_EQ(has(g_opened, device + "\n"), c.refusal == kSettingsRefused) << g_opened;
    termios after{};
    tcgetattr(slave, &after);
    EXPECT_TRUE(cfgetospeed(&after) == cfgetospeed(&before) && after.c_lflag == before.c_lflag);
    EXPECT_NE(lock_pid(g_cue_path), getpid());
    unlink(g_cue_path.c_str());
    close(slave);
    close(master);
  }
}

TEST(WriteByte, ASignalDuringTheWriteNeitherLosesNorDoublesTheByte) {
  for (const int interruptions : {1, 3}) {
    SCOPED_TRACE(interruptions);
    std::array<int, 2> fds{};
    ASSERT_EQ(pipe2(fds.data(), O_NONBLOCK | O_CLOEXEC), 0);
    g_interrupted_fd = fds[1];
    g_interruptions = interruptions;
    g_writes = 0;
    write_byte(fds[1], 0, '7');
    g_interrupted_fd = -1;
    std::array<char, 4> got{};
    EXPECT_EQ(read(fds[0], got.data(), got.size()), 1);
    EXPECT_EQ(got[0], '7');
    EXPECT_EQ(g_writes, interruptions + 1);  // tried again, and only until it went
    close(fds[0]);
    close(fds[1]);
  }
}

}  // namespace
