// quorvel-pause-probe: how long the program's pause_ms(20) really lasts on this system, built for
// Linux and for Windows (run under Wine there) so quorvel-bench can show both side by side.
// Prints one line: "pause_ms(20): median M ms, max X ms over N". Measures; judges nothing.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

#include "link/clock/clock.h"

int main() {
  constexpr std::size_t kPauses = 50;
  std::array<double, kPauses> lasted{};
  // As the exchange runs them: with the fine timing it asks for.
  begin_fine_timing();
  for (double& ms : lasted) {
    const auto start = std::chrono::steady_clock::now();
    pause_ms(20);
    ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }
  end_fine_timing();
  std::sort(lasted.begin(), lasted.end());
  std::printf("pause_ms(20): median %.2f ms, max %.2f ms over %u\n",
              (lasted[kPauses / 2 - 1] + lasted[kPauses / 2]) / 2, lasted.back(),
              static_cast<unsigned>(kPauses));
  return 0;
}
