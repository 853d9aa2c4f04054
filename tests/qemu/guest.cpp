#include "guest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace qemu {

namespace {

// The trace events the cases read: the 16550's register writes and line settings, the FTDI
// adapter's control requests and rate.
constexpr const char* kEvents[] = {"serial_write", "serial_update_parameters",
                                   "usb_serial_handle_control", "usb_serial_set_baud"};

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads whatever comes before deadline_ms into text; false once the deadline passed or the
// other end closed.
bool read_some(int fd, std::string& text, long long deadline_ms) {
  const long long left = deadline_ms - now_ms();
  if (left <= 0) {
    return false;
  }
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(left)) <= 0) {
    return false;
  }
  std::array<char, 4096> buffer{};
  const ssize_t n = read(fd, buffer.data(), buffer.size());
  if (n <= 0) {
    return false;
  }
  text.append(buffer.data(), static_cast<std::size_t>(n));
  return true;
}

// What the agent sent that is not yet part of an answer.
std::string g_agent_pending;

}  // namespace

long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int connect_socket(const std::string& path, int seconds) {
  const long long deadline = now_ms() + seconds * 1000LL;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  while (true) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
      return fd;
    }
    close(fd);
    if (now_ms() > deadline) {
      return -1;
    }
    usleep(50000);  // QEMU has not made the socket yet
  }
}

bool start_guest(Guest& guest, const std::string& kernel, const std::string& initrd,
                 const std::string& work, std::string& why) {
  guest.work = work;
  guest.uart_socket = work + "/uart.sock";
  guest.usb_socket = work + "/usb.sock";
  guest.trace_path = work + "/trace.log";
  guest.log_path = work + "/qemu.log";
  const std::string events = work + "/events";
  FILE* list = std::fopen(events.c_str(), "w");
  if (list == nullptr) {
    why = "cannot write " + events;
    return true;
  }
  for (const char* event : kEvents) {
    std::fprintf(list, "%s\n", event);
  }
  std::fclose(list);
  const std::string socket_of = ",server=on,wait=off";
  const std::vector<std::string> args = {
      "qemu-system-x86_64",
      "-machine",
      "q35",
      "-m",
      "256",
      "-nodefaults",
      "-display",
      "none",
      "-no-reboot",
      "-kernel",
      kernel,
      "-initrd",
      initrd,
      "-append",
      "console=tty0 panic=-1 quiet",
      "-chardev",
      "socket,id=agent,path=" + work + "/agent.sock" + socket_of,
      "-serial",
      "chardev:agent",
      "-chardev",
      "socket,id=uart,path=" + guest.uart_socket + socket_of,
      "-serial",
      "chardev:uart",
      "-device",
      "qemu-xhci",
      "-chardev",
      "socket,id=usb,path=" + guest.usb_socket + socket_of,
      "-device",
      "usb-serial,chardev=usb,id=adapter",
      "-monitor",
      "unix:" + work + "/monitor.sock" + socket_of,
      "-trace",
      "events=" + events,
      "-D",
      guest.trace_path,
  };
  const int log = open(guest.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  guest.pid = fork();
  if (guest.pid == 0) {
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(log, 1);
    dup2(log, 2);
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(log);
  if (guest.pid < 0) {
    why = "cannot start QEMU";
    return true;
  }
  guest.agent_fd = connect_socket(work + "/agent.sock", 30);
  guest.monitor_fd = connect_socket(work + "/monitor.sock", 30);
  if (guest.agent_fd < 0 || guest.monitor_fd < 0) {
    why = "QEMU made no sockets (see " + guest.log_path + ")";
    return true;
  }
  return false;
}

bool wait_ready(Guest& guest, std::string& why) {
  std::string greeting;
  const long long deadline = now_ms() + 90000;
  while (greeting.find("@@READY\n") == std::string::npos) {
    if (!read_some(guest.agent_fd, greeting, deadline)) {
      why = "the guest's agent never said it was ready";
      return true;
    }
  }
  g_agent_pending = greeting.substr(greeting.find("@@READY\n") + 8);
  std::string answer;
  monitor(guest, "", answer);  // the monitor's banner and first prompt
  return false;
}

int guest_run(Guest& guest, const std::string& command, std::string& output, int seconds) {
  output.clear();
  if (command.find('\n') != std::string::npos || !write_all(guest.agent_fd, command + "\n")) {
    return -1;
  }
  // The answer: "@@STATUS COUNT\n" and then COUNT bytes of output.
  const long long deadline = now_ms() + seconds * 1000LL;
  std::string& got = g_agent_pending;
  std::size_t end = 0;
  while ((end = got.find('\n')) == std::string::npos) {
    if (!read_some(guest.agent_fd, got, deadline)) {
      return -1;
    }
  }
  int status = -1;
  std::size_t count = 0;
  if (std::sscanf(got.c_str(), "@@%d %zu", &status, &count) != 2) {
    output = got;
    got.clear();
    return -1;
  }
  got.erase(0, end + 1);
  while (got.size() < count) {
    if (!read_some(guest.agent_fd, got, deadline)) {
      return -1;
    }
  }
  output = got.substr(0, count);
  got.erase(0, count);
  return status;
}

bool monitor(Guest& guest, const std::string& command, std::string& answer) {
  answer.clear();
  if (!command.empty() && !write_all(guest.monitor_fd, command + "\n")) {
    return false;
  }
  const long long deadline = now_ms() + 20000;
  // The monitor echoes the command and ends its answer with a fresh prompt.
  const auto ends_with_prompt = [&answer] {
    constexpr char kPrompt[] = "(qemu) ";
    return answer.size() >= sizeof(kPrompt) - 1 &&
           answer.compare(answer.size() - (sizeof(kPrompt) - 1), sizeof(kPrompt) - 1, kPrompt) == 0;
  };
  while (!ends_with_prompt() || (!command.empty() && answer.find('\n') == std::string::npos)) {
    if (!read_some(guest.monitor_fd, answer, deadline)) {
      return false;
    }
  }
  return true;
}

void stop_guest(Guest& guest) {
  if (guest.pid > 0) {
    kill(guest.pid, SIGKILL);
    waitpid(guest.pid, nullptr, 0);
    guest.pid = -1;
  }
  for (int* fd : {&guest.agent_fd, &guest.monitor_fd}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
}

}  // namespace qemu
