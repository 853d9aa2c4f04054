#include "link/divisor_rate.h"

std::uint32_t divisor_rate(std::uint32_t baud_base, std::uint32_t rate) {
  // Rounded to the nearest divisor, as the Linux 8250 driver does; the latch holds 1 to 65535.
  constexpr std::uint64_t kLargestDivisor = 65535;
  std::uint64_t divisor = (static_cast<std::uint64_t>(baud_base) + rate / 2) / rate;
  if (divisor == 0) {
    divisor = 1;
  } else if (divisor > kLargestDivisor) {
    divisor = kLargestDivisor;
  }
  return static_cast<std::uint32_t>((baud_base + divisor / 2) / divisor);
}

bool rate_too_far(std::uint32_t asked, std::uint32_t made) {
  const std::uint64_t off = asked > made ? asked - made : made - asked;
  return off * 50U > asked;
}
