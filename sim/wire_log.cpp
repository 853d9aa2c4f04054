#include "wire_log.h"

// termios2 for the rate as set; this header clashes with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

void emit_line(const char* text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void record_wire(Simulator& sim, const std::uint8_t* bytes, std::size_t size) {
  if (sim.wire_fd < 0 || sim.wire_failed) {
    return;
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t written = write(sim.wire_fd, bytes + done, size - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      std::fprintf(stderr, "quorvel-sim: cannot write %s: %s\n", sim.options.wire_path,
                   std::strerror(errno));
      sim.wire_failed = true;
      return;
    }
    done += static_cast<std::size_t>(written);
  }
}

void log_line(const Simulator& sim, const LineResult& result) {
  std::array<char, 400> out{};
  format_line_report(sim.line, result, sim.unit, out.data(), out.size());
  emit_line(out.data());
}

void log_final(const Simulator& sim) {
  std::array<char, 200> out{};
  format_final_report(sim.unit, out.data(), out.size());
  emit_line(out.data());
}

void log_port_settings(Simulator& sim) {
  struct termios2 mode {};
  if (ioctl(sim.master_fd, TCGETS2, &mode) != 0) {
    return;
  }
  struct Flag {
    const char* name;
    const tcflag_t* field;
    tcflag_t bit;
  };
  const std::array<Flag, 12> flags = {{{"icanon", &mode.c_lflag, ICANON},
                                       {"echo", &mode.c_lflag, ECHO},
                                       {"isig", &mode.c_lflag, ISIG},
                                       {"iexten", &mode.c_lflag, IEXTEN},
                                       {"icrnl", &mode.c_iflag, ICRNL},
                                       {"inlcr", &mode.c_iflag, INLCR},
                                       {"igncr", &mode.c_iflag, IGNCR},
                                       {"istrip", &mode.c_iflag, ISTRIP},
                                       {"ixon", &mode.c_iflag, IXON},
                                       {"ixoff", &mode.c_iflag, IXOFF},
                                       {"opost", &mode.c_oflag, OPOST},
                                       {"crtscts", &mode.c_cflag, CRTSCTS}}};
  const tcflag_t size = mode.c_cflag & CSIZE;
  const int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
  const char parity = (mode.c_cflag & PARENB) == 0 ? 'N' : (mode.c_cflag & PARODD) != 0 ? 'O' : 'E';
  std::array<char, 200> out{};
  int used = std::snprintf(out.data(), out.size(), "port: %u %d%c%d", mode.c_ospeed, bits, parity,
                           (mode.c_cflag & CSTOPB) != 0 ? 2 : 1);
  for (const Flag& flag : flags) {
    if ((*flag.field & flag.bit) != 0 && used > 0 && static_cast<std::size_t>(used) < out.size()) {
      used += std::snprintf(out.data() + used, out.size() - static_cast<std::size_t>(used), " %s",
                            flag.name);
    }
  }
  if (std::strcmp(out.data(), sim.last_settings.data()) != 0) {
    std::memcpy(sim.last_settings.data(), out.data(), out.size());
    emit_line(out.data());
  }
}
