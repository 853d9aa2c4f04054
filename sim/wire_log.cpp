#include "wire_log.h"

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
