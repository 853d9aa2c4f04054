// Lock files at the moments that matter: another program acting between this program's look at
// a lock and its change of it, and a signal arriving in the middle of making or removing its
// own. The file calls the lock routines use are wrapped here, so such a moment is produced on
// cue instead of by chance; the lock directory is a private one.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "link/lock_file_posix.h"

namespace {

// What happens at the cue, in place of "nothing".
enum class Cue {
  kNone,
  kAnotherProgramLocks,  // before the path is renamed or unlinked: a live program's lock there
  kSignalAfterLink,      // after the path is linked: the exit path runs
  kSignalBeforeUnlink,   // before the path is unlinked: the exit path runs
};

Cue g_cue = Cue::kNone;
std::string g_cue_path;
bool g_left_behind = false;  // the lock still there once the exit path had run

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

// A private /run/lock for this process (a mount namespace of its own; the tests run as root),
// made before the lock routines first look.
struct LockDir {
  LockDir() {
    std::array<char, 64> name{};
    std::snprintf(name.data(), name.size(), "/tmp/quorvel-lock-test-XXXXXX");
    if (mkdtemp(name.data()) == nullptr || unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(name.data(), "/run/lock", nullptr, MS_BIND, nullptr) != 0) {
      std::fprintf(stderr, "no private /run/lock\n");
      std::exit(1);
    }
    made = name.data();
  }
  ~LockDir() {
    umount2(path.c_str(), MNT_DETACH);
    rmdir(made.c_str());
  }
  std::string made;
  std::string path = "/run/lock";
} g_dir;

std::string lock_path(const std::string& name) {
  return g_dir.path + "/LCK.." + name;
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
  EXPECT_TRUE(take_port_lock("/dev/ttyQV0", "/dev/ttyQV0", true, reason.data(), reason.size()));
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
  take_port_lock("/dev/ttyQV2", "/dev/ttyQV2", true, reason.data(), reason.size());
  EXPECT_EQ(g_cue, Cue::kNone);
  EXPECT_FALSE(g_left_behind);
  drop_port_lock();
  unlink(path.c_str());
}

TEST(LockFile, SignalWhileTheLockIsBeingRemovedStillRemovesIt) {
  const std::string path = lock_path("ttyQV3");
  std::array<char, 256> reason{};
  ASSERT_FALSE(take_port_lock("/dev/ttyQV3", "/dev/ttyQV3", true, reason.data(), reason.size()));
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
  const int result = real<int (*)(const char*, const char*)>("link")(from, to);
  if (result == 0 && take_cue(Cue::kSignalAfterLink, to)) {
    drop_port_lock();
    g_left_behind = exists(to);
  }
  return result;
}
