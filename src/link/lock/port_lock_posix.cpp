// Lock files: LCK..<name> holding the owner's PID as ten characters right-aligned and a newline.
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "link/lock/lock_reading.h"
#include "link/lock/port_lock.h"

namespace {

constexpr std::size_t kPathBytes = 512;
constexpr std::size_t kDirCount = 2;
// Where /var/lock is a directory of its own, programs may look in either.
constexpr std::array<const char*, kDirCount> kLockDirs{"/run/lock", "/var/lock"};

// This program's locks, one per lock directory. A path is complete before its flag is set, so
// the signal path never sees half a name.
std::array<std::array<char, kPathBytes>, kDirCount> g_held_path{};
volatile sig_atomic_t g_held[kDirCount] = {0, 0};

// The temporary name in use in each directory, so that every way out removes it: a file of
// this program's own (kOwnFile), or a stale lock moved aside from g_aside_of (kAside), which goes
// back before the name is removed, in case it was not stale after all.
enum TemporaryKind : sig_atomic_t { kNoTemporary, kOwnFile, kAside };
std::array<std::array<char, kPathBytes>, kDirCount> g_temporary{};
std::array<std::array<char, kPathBytes>, kDirCount> g_aside_of{};
volatile sig_atomic_t g_temporary_kind[kDirCount] = {kNoTemporary, kNoTemporary};

// Why the last take_port_lock made no lock of this program's own; "" when it made one.
std::array<char, kPathBytes + 80> g_no_lock{};

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// The lock directories that exist, each once (/var/lock is usually a link to /run/lock).
void lock_dirs(std::array<bool, kDirCount>& use) {
  std::array<struct stat, kDirCount> seen{};
  for (std::size_t i = 0; i < kDirCount; ++i) {
    use[i] = false;
    struct stat info {};
    if (stat(kLockDirs[i], &info) != 0 || !S_ISDIR(info.st_mode)) {
      continue;
    }
    bool duplicate = false;
    for (std::size_t j = 0; j < i; ++j) {
      duplicate =
          duplicate || (use[j] && seen[j].st_dev == info.st_dev && seen[j].st_ino == info.st_ino);
    }
    seen[i] = info;
    use[i] = !duplicate;
  }
}

// A fresh temporary name in the lock directory dir that no other user can guess, and so
// cannot take or block ahead of this program. Returns true (failure) without randomness.
bool temporary_name(std::size_t dir, std::array<char, kPathBytes>& out) {
  unsigned long long bits = 0;
  // Just after boot, before the kernel's generator is seeded (a machine without a hardware
  // source), only the unseeded bytes are there; they still make a name nobody can know ahead.
  // Kernels before 5.6 give those only through /dev/urandom.
  const auto whole = static_cast<ssize_t>(sizeof bits);
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != whole &&
      getrandom(&bits, sizeof bits, GRND_INSECURE) != whole) {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd >= 0 ? read(fd, &bits, sizeof bits) : -1;
    if (fd >= 0) {
      close(fd);
    }
    if (got != whole) {
      return true;
    }
  }
  std::snprintf(out.data(), out.size(), "%s/LTMP.%ld.%016llx", kLockDirs[dir],
                static_cast<long>(getpid()), bits);
  return false;
}

// Removes the temporary name in dir, putting a lock moved aside back first. Async-signal-safe.
void drop_temporary(std::size_t dir) {
  if (g_temporary_kind[dir] == kAside) {
    // Failing means a newer lock stands in its place, which then holds the port.
    const int put_back = link(g_temporary[dir].data(), g_aside_of[dir].data());
    (void)put_back;
  }
  if (g_temporary_kind[dir] != kNoTemporary) {
    unlink(g_temporary[dir].data());
  }
  g_temporary_kind[dir] = kNoTemporary;
}

// Removes a stale lock without ever taking another program's: that program may have removed the
// stale lock itself and made its own under the name since it was read. So the lock is first
// moved aside under a temporary name, in one step where no one else changes it, and read again
// there; one that is not stale after all is put back (unless yet another lock has been made
// meanwhile, which then stands). Returns true when it could not be moved (another user's).
bool remove_stale(std::size_t dir, const char* path) {
  if (temporary_name(dir, g_temporary[dir])) {
    return true;
  }
  std::snprintf(g_aside_of[dir].data(), g_aside_of[dir].size(), "%s", path);
  g_temporary_kind[dir] = kAside;
  if (rename(path, g_temporary[dir].data()) != 0) {
    g_temporary_kind[dir] = kNoTemporary;
    return errno != ENOENT;  // gone already is as good as removed
  }
  if (read_lock(g_temporary[dir].data()).state == LockState::kStale) {
    g_temporary_kind[dir] = kOwnFile;  // nothing to put back
  }
  drop_temporary(dir);
  return false;
}

// Makes the lock at path in one step: a private file with the PID, linked into place.
// Returns true when the lock already exists; a directory that cannot be written is no failure.
bool create_lock(std::size_t dir, const char* path, bool& made) {
  made = false;
  const long pid = static_cast<long>(getpid());
  if (temporary_name(dir, g_temporary[dir])) {
    return false;
  }
  // Known before it exists, so that a signal from here on removes it.
  g_temporary_kind[dir] = kOwnFile;
  const int fd =
      open(g_temporary[dir].data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    g_temporary_kind[dir] = kNoTemporary;
    return false;
  }
  std::array<char, 16> text{};
  const int length = std::snprintf(text.data(), text.size(), "%10ld\n", pid);
  const bool written = fchmod(fd, 0644) == 0 && length > 0 &&
                       write(fd, text.data(), static_cast<std::size_t>(length)) == length;
  close(fd);
  const bool linked = written && link(g_temporary[dir].data(), path) == 0;
  const bool exists = written && !linked && errno == EEXIST;
  drop_temporary(dir);
  made = linked;
  return exists;
}

// Removes this program's lock in dir, if it holds one. The flag goes only once the lock has:
// a signal that comes meanwhile runs this again from its handler, which is harmless, and the
// program then ends with nothing left behind. Only calls that are safe in a signal handler.
void drop_lock(std::size_t dir) {
  if (g_held[dir] == 0) {
    return;
  }
  const char* path = g_held_path[dir].data();
  if (read_lock(path).state == LockState::kOwn) {
    unlink(path);
  }
  g_held[dir] = 0;
}

}  // namespace

bool take_port_lock(const char* port_name, const char* device_path, char* reason,
                    std::size_t size) {
  std::array<bool, kDirCount> use{};
  lock_dirs(use);
  std::snprintf(g_no_lock.data(), g_no_lock.size(), "no lock directory was found");
  const std::array<const char*, 2> names{base_name(port_name), base_name(device_path)};
  std::array<char, kPathBytes> path{};
  bool stale_kept = false;  // the better reason, where a directory may not be written as well
  for (std::size_t dir = 0; dir < kDirCount; ++dir) {
    for (const char* name : names) {
      if (!use[dir] || name[0] == '\0') {
        continue;
      }
      std::snprintf(path.data(), path.size(), "%s/LCK..%s", kLockDirs[dir], name);
      const LockInfo info = read_lock(path.data());
      if (info.state == LockState::kLive || info.state == LockState::kUntrusted) {
        say_lock_refusal(info, path.data(), reason, size);
        return true;
      }
      if (info.state == LockState::kStale && remove_stale(dir, path.data())) {
        stale_kept = true;
        std::snprintf(g_no_lock.data(), g_no_lock.size(),
                      "the stale lock %s is another user's, and this user may not remove it",
                      path.data());
      }
    }
  }
  bool held_any = false;
  for (std::size_t dir = 0; dir < kDirCount; ++dir) {
    if (!use[dir] || names[1][0] == '\0') {
      continue;
    }
    std::snprintf(path.data(), path.size(), "%s/LCK..%s", kLockDirs[dir], names[1]);
    if (g_held[dir] != 0 && std::strcmp(g_held_path[dir].data(), path.data()) == 0) {
      held_any = true;
      continue;  // taken again after the port came back under the same device
    }
    if (g_held[dir] != 0) {
      drop_lock(dir);  // the port came back as another device: its old lock goes
    }
    // Known as this program's before it exists, so a signal from here on removes it; another
    // program's lock at this path is safe, as only a lock holding this PID is ever removed.
    std::snprintf(g_held_path[dir].data(), g_held_path[dir].size(), "%s", path.data());
    g_held[dir] = 1;
    bool made = false;
    const bool exists = create_lock(dir, path.data(), made);
    if (!made) {
      g_held[dir] = 0;
    }
    held_any = held_any || made;
    if (exists) {
      // Someone else made it between the look and the link.
      const LockInfo info = read_lock(path.data());
      if (info.state == LockState::kLive || info.state == LockState::kUntrusted) {
        say_lock_refusal(info, path.data(), reason, size);
        drop_port_lock();
        return true;
      }
      if (!stale_kept) {
        std::snprintf(g_no_lock.data(), g_no_lock.size(),
                      "another program's lock in %s came and went while this one was made",
                      kLockDirs[dir]);
      }
    } else if (!made && !stale_kept) {
      std::snprintf(g_no_lock.data(), g_no_lock.size(), "this user may not write in %s",
                    kLockDirs[dir]);
    }
  }
  if (held_any) {
    g_no_lock[0] = '\0';
  }
  return false;
}

const char* missing_lock_reason() {
  return g_no_lock.data();
}

void drop_port_lock() {
  for (std::size_t dir = 0; dir < kDirCount; ++dir) {
    drop_temporary(dir);
    drop_lock(dir);
  }
}
