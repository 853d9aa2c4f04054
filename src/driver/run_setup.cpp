#include "driver/run_setup.h"

#include <array>
#include <cstdio>

#include "driver/exit_path.h"
#include "link/clock.h"
#include "link/device_exchange.h"
#include "link/serial_link.h"
#include "setup/command_line.h"
#include "setup/dialogue.h"
#include "setup/key_input.h"
#include "setup/reason.h"

namespace {

constexpr int kExitFailedRun = 2;

// One line on standard error after the program's own text: what was wrong and what to do.
// A good run, and ESC in the dialogue, say nothing there.
void say_why(const char* reason) {
  if (reason[0] != '\0') {
    std::fprintf(stderr, "quorvel-setup: %s\n", reason);
  }
}

void report_open_failure() {
  std::printf("\n! Unable to open COM port: %s, %u\n", g_setup.port_name,
              static_cast<unsigned>(g_setup.baud_rate));
}

// Everything up to the verdict; the port, once open, is closed by the caller.
int run_steps(int argc, char** argv, PortHandle& port) {
  std::fputs("Quorvel Setup\n", stdout);
  if (argc > 1) {
    if (parse_options(argc, argv)) {
      say_why(setup_reason());
      return 1;
    }
    if (resolve_setup()) {
      print_usage(argv[0]);
      say_why(setup_reason());
      return 1;
    }
  } else if (run_dialogue()) {
    say_why(setup_reason());
    return 1;
  }
  // No platform has a line at speed 0 (to a POSIX driver it even means "hang up").
  if (g_setup.baud_rate == 0) {
    report_open_failure();
    say_why("0 is not a line speed");
    return 1;
  }
  port = open_port(g_setup.port_name, g_setup.baud_rate);
  if (port == kInvalidPort) {
    report_open_failure();
    const char* reason = open_failure_reason();
    if (reason[0] != '\0') {
      say_why(reason);
    } else {
      std::array<char, 64> name{};
      show_text(name.data(), name.size(), g_setup.port_name, kReasonSize, 40);
      std::fprintf(stderr, "quorvel-setup: %s: could not be opened as a serial port\n",
                   name.data());
    }
    return 1;
  }
  print_summary(g_setup);
  // Only the exchange needs pauses as short as asked; a dialogue waiting for keys does not.
  begin_fine_timing();
  const bool failed = program_device(port);
  end_fine_timing();
  // A script must be able to tell a unit left unlocked, its clock stopped, from a good run.
  return failed ? kExitFailedRun : 0;
}

}  // namespace

void print_summary(const SetupRecord& setup) {
  const auto u = [](std::uint32_t value) { return static_cast<unsigned>(value); };
  std::printf(" Opened COM port                : %s\n", setup.port_name);
  std::printf("                                  %u baud\n", u(setup.baud_rate));
  std::printf(" Timings: between chars         : %u ms\n", u(setup.char_time_ms));
  std::printf("          between lines         : %u ms\n", u(setup.line_time_ms));
  std::printf(" Time                           : %u:%u:%u\n", u(setup.hour), u(setup.minute),
              u(setup.second));
  std::printf(" Date                           : %u\\%u\\%u\n", u(setup.day), u(setup.month),
              u(setup.year + 2000U));
  std::printf(" Out1                   minimum : %u\n", u(setup.output1.minimum));
  std::printf("                        maximum : %u\n", u(setup.output1.maximum));
  std::printf("                    puls length : %ux10ms=%ums\n", u(setup.output1.pulse_len),
              u(setup.output1.pulse_len * 10U));
  std::printf(" Out2                   minimum : %u\n", u(setup.output2.minimum));
  std::printf("                        maximum : %u\n", u(setup.output2.maximum));
  std::printf("                    puls length : %ux10ms=%ums\n", u(setup.output2.pulse_len),
              u(setup.output2.pulse_len * 10U));
  std::printf("                    waittime    : %ux10ms=%ums\n", u(setup.output2.wait_time),
              u(setup.output2.wait_time * 10U));
}

int run_setup(int argc, char** argv) {
  // Every prompt and progress label must be on screen before the program waits.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  // Handlers first: from here on every way out gives back what the seams take.
  install_exit_path();
  key_input_start();
  PortHandle port = kInvalidPort;
  const int status = run_steps(argc, argv, port);
  close_port(port);
  key_input_stop();
  return status;
}
