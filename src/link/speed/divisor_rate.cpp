#include "link/speed/divisor_rate.h"

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

std::uint32_t ftdi_rate(std::uint32_t baud_base, std::uint32_t rate) {
  constexpr std::uint32_t kClockOfBm = 24000000;
  constexpr std::uint32_t kClockOfH = 60000000;
  constexpr std::uint64_t kWholeMask = 0x3FFF;
  // Eight times the clock the divisor divides.
  std::uint64_t eighths_clock = 8ULL * 3000000;
  if (baud_base == kClockOfH && rate >= 1200) {
    eighths_clock = 8ULL * 12000000;
  } else if (baud_base != kClockOfBm && baud_base != kClockOfH) {
    return 0;
  }
  if (rate >= eighths_clock / 8) {
    return static_cast<std::uint32_t>(eighths_clock / 8);
  }
  const std::uint64_t eighths = (2 * eighths_clock + rate) / (2ULL * rate);
  const std::uint64_t sent = ((eighths >> 3) & kWholeMask) * 8 + (eighths & 7);
  if (sent == 0) {
    return static_cast<std::uint32_t>(eighths_clock / 8);  // the chip's 0 is its fastest
  }
  return static_cast<std::uint32_t>((eighths_clock + sent / 2) / sent);
}

std::uint32_t port_rate(std::uint32_t baud_base, bool names_uart, std::uint32_t rate,
                        SpeedAlias alias, std::uint32_t custom_divisor) {
  if (baud_base == 0) {
    return rate;
  }
  if (names_uart) {
    return rate > baud_base ? rate : uart_rate(baud_base, rate, alias, custom_divisor);
  }
  // ftdi_sio takes spd_cust's divisor as the rate baud_base / divisor, then divides its own way.
  constexpr std::uint32_t kAliased = 38400;
  std::uint32_t asked = rate;
  if (rate == kAliased && alias == SpeedAlias::kCustom) {
    asked = uart_rate(baud_base, rate, alias, custom_divisor);
    if (asked == 0) {
      return 0;
    }
  }
  const std::uint32_t made = ftdi_rate(baud_base, asked);
  return made != 0 ? made : asked;
}
