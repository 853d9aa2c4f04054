#include "pty_link.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shared/fd_holders.h"
#include "wire_log.h"

namespace {

// Whether a process other than this one has the slave open. The opens and closes the watch
// reports cannot simply be counted: the kernel merges like events that wait unread, so two
// opens in a row may come as one. /proc tells exactly; processes it does not show this one
// cannot have the port open anyway unless they run as root.
bool slave_held_elsewhere(const Simulator& sim) {
  struct stat slave {};
  if (stat(sim.slave_name.data(), &slave) != 0) {
    return false;
  }
  // -1, /proc cannot be read: cannot tell, so the port stays in use.
  return device_holder(slave.st_rdev) != 0;
}

struct StandardRate {
  speed_t constant;
  std::uint32_t bits_per_second;
};

constexpr std::array<StandardRate, 30> kStandardRates = {{
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
}};

}  // namespace

bool open_pseudo_terminal(Simulator& sim) {
  sim.master_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (sim.master_fd < 0 || grantpt(sim.master_fd) != 0 || unlockpt(sim.master_fd) != 0 ||
      ptsname_r(sim.master_fd, sim.slave_name.data(), sim.slave_name.size()) != 0) {
    std::fprintf(stderr, "quorvel-sim: cannot create a pseudo-terminal: %s\n",
                 std::strerror(errno));
    return true;
  }
  // The slave is opened once, before anyone can know its name, and then left to the clients:
  // a careful client refuses a port that another program holds open. Its settings stay as the
  // kernel makes a new line (cooked, CR read as LF, echo on), as a port freshly plugged in is,
  // and the pseudo-terminal keeps what a client sets while the master is open.
  const int slave_fd = open(sim.slave_name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  const int flags = fcntl(sim.master_fd, F_GETFL);
  if (slave_fd >= 0) {
    close(slave_fd);
  }
  if (slave_fd < 0 || flags < 0 || fcntl(sim.master_fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "quorvel-sim: cannot set up %s: %s\n", sim.slave_name.data(),
                 std::strerror(errno));
    return true;
  }
  sim.notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (sim.notify_fd >= 0 &&
      inotify_add_watch(sim.notify_fd, sim.slave_name.data(), IN_OPEN | IN_CLOSE) < 0) {
    close(sim.notify_fd);
    sim.notify_fd = -1;
  }
  // Without notifications every moment counts as one with a client, the master looked at a few
  // times a second while there is none.
  sim.client_there = sim.notify_fd < 0;
  return false;
}

bool make_link(Simulator& sim) {
  const char* path = sim.options.link_path;
  struct stat info {};
  if (lstat(path, &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      std::fprintf(stderr, "quorvel-sim: %s exists and is not a symbolic link\n", path);
      return true;
    }
    if (unlink(path) != 0) {
      std::fprintf(stderr, "quorvel-sim: cannot remove %s: %s\n", path, std::strerror(errno));
      return true;
    }
  } else if (errno != ENOENT) {
    std::fprintf(stderr, "quorvel-sim: cannot check %s: %s\n", path, std::strerror(errno));
    return true;
  }
  if (symlink(sim.slave_name.data(), path) != 0) {
    std::fprintf(stderr, "quorvel-sim: cannot link %s: %s\n", path, std::strerror(errno));
    return true;
  }
  sim.link_made = true;
  return false;
}

void remove_link(Simulator& sim) {
  if (!sim.link_made) {
    return;
  }
  std::array<char, kPathBytes> target{};
  const ssize_t size = readlink(sim.options.link_path, target.data(), target.size() - 1);
  if (size > 0 && std::strcmp(target.data(), sim.slave_name.data()) == 0) {
    unlink(sim.options.link_path);
  }
  sim.link_made = false;
}

void read_notifications(Simulator& sim) {
  alignas(inotify_event) std::array<char, 4096> events{};
  bool opened = false;
  bool closed = false;
  for (;;) {
    const ssize_t got = read(sim.notify_fd, events.data(), events.size());
    if (got <= 0) {
      break;
    }
    for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(got);) {
      inotify_event event{};
      std::memcpy(&event, events.data() + at, sizeof event);
      opened = opened || (event.mask & IN_OPEN) != 0;
      closed = closed || (event.mask & (IN_CLOSE | IN_Q_OVERFLOW)) != 0;
      at += sizeof(inotify_event) + event.len;
    }
  }
  if (closed) {
    sim.client_there = slave_held_elsewhere(sim);
    log_port_settings(sim);  // what the client left on the line
  } else if (opened) {
    sim.client_there = true;
  }
}

void master_hung_up(Simulator& sim) {
  if (sim.notify_fd >= 0) {
    sim.client_there = slave_held_elsewhere(sim);
    return;
  }
  // Nothing tells when the next client comes: look again after a pause, never in a spin.
  constexpr timespec kLookAgain{0, 200000000};
  nanosleep(&kLookAgain, nullptr);
}

bool client_present(const Simulator& sim) {
  return sim.client_there;
}

void close_line(Simulator& sim) {
  if (sim.master_fd >= 0) {
    close(sim.master_fd);
    sim.master_fd = -1;
  }
  if (sim.notify_fd >= 0) {
    close(sim.notify_fd);
    sim.notify_fd = -1;
  }
}

std::uint32_t line_rate(const Simulator& sim) {
  // On the master, Linux reads the slave's settings: the ones the client made, even when no
  // client has the slave open any more.
  termios mode{};
  if (tcgetattr(sim.master_fd, &mode) != 0) {
    return 0;
  }
  const speed_t constant = cfgetospeed(&mode);
  for (const StandardRate& rate : kStandardRates) {
    if (rate.constant == constant) {
      return rate.bits_per_second;
    }
  }
  return 0;
}
