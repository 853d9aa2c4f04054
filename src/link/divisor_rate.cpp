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

std::uint32_t uart_rate(std::uint32_t baud_base, std::uint32_t rate, SpeedAlias alias,
                        std::uint32_t custom_divisor) {
  constexpr std::uint32_t kAliased = 38400;
  if (rate != kAliased) {
    return divisor_rate(baud_base, rate);
  }
  switch (alias) {
    case SpeedAlias::kHi:
      return divisor_rate(baud_base, 57600);
    case SpeedAlias::kVhi:
      return divisor_rate(baud_base, 115200);
    case SpeedAlias::kShi:
      return divisor_rate(baud_base, 230400);
    case SpeedAlias::kWarp:
      return divisor_rate(baud_base, 460800);
    case SpeedAlias::kCustom:
      // The driver loads the divisor it was given as it stands.
      return custom_divisor == 0
                 ? 0
                 : static_cast<std::uint32_t>(
                       (static_cast<std::uint64_t>(baud_base) + custom_divisor / 2) /
                       custom_divisor);
    case SpeedAlias::kNone:
      break;
  }
  return divisor_rate(baud_base, rate);
}

std::uint32_t port_rate(std::uint32_t baud_base, bool names_uart, std::uint32_t rate,
                        SpeedAlias alias, std::uint32_t custom_divisor) {
  constexpr std::uint32_t kAliased = 38400;
  const bool told = names_uart || (rate == kAliased && alias == SpeedAlias::kCustom);
  if (!told || baud_base == 0 || rate > baud_base) {
    return rate;
  }
  return uart_rate(baud_base, rate, alias, custom_divisor);
}
