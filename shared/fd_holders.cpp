#include "shared/fd_holders.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::size_t kFdDirBytes = sizeof "/proc/-9223372036854775808/fd";  // any long
constexpr std::size_t kFdPathBytes = kFdDirBytes + 1 + NAME_MAX;

// The PID a directory of /proc is named by, or 0 for every other entry.
long pid_of(const char* name) {
  char* end = nullptr;
  const long pid = std::strtol(name, &end, 10);
  return *end == '\0' && pid > 0 ? pid : 0;
}

bool holds(const char* fd_dir, dev_t device) {
  DIR* descriptors = opendir(fd_dir);  // other users' are closed to a run that is not root's
  if (descriptors == nullptr) {
    return false;
  }
  bool held = false;
  for (const dirent* fd = readdir(descriptors); fd != nullptr && !held; fd = readdir(descriptors)) {
    std::array<char, kFdPathBytes> fd_path{};
    std::snprintf(fd_path.data(), fd_path.size(), "%s/%s", fd_dir, fd->d_name);
    // "." and ".." are directories, so only descriptors can match.
    struct stat target {};
    held =
        stat(fd_path.data(), &target) == 0 && S_ISCHR(target.st_mode) && target.st_rdev == device;
  }
  closedir(descriptors);
  return held;
}

}  // namespace

long device_holder(dev_t device) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) {
    return -1;
  }
  const long self = static_cast<long>(getpid());
  long found = 0;
  for (const dirent* entry = readdir(processes); found == 0 && entry != nullptr;
       entry = readdir(processes)) {
    const long pid = pid_of(entry->d_name);
    if (pid == 0 || pid == self) {
      continue;
    }
    std::array<char, kFdDirBytes> fd_dir{};
    std::snprintf(fd_dir.data(), fd_dir.size(), "/proc/%ld/fd", pid);
    if (holds(fd_dir.data(), device)) {
      found = pid;
    }
  }
  closedir(processes);
  return found;
}
