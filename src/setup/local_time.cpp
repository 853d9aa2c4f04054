#include "setup/local_time.h"

#include <cstdint>

std::tm local_now() {
  const std::time_t now = std::time(nullptr);
  std::tm broken_down{};
  const std::tm* local = std::localtime(&now);
  if (local != nullptr) {
    broken_down = *local;
  }
  // A leap second reads as :60, which no unit clock holds.
  if (broken_down.tm_sec > 59) {
    broken_down.tm_sec = 59;
  }
  return broken_down;
}

bool pc_year_fits(const std::tm& now) {
  const long year = static_cast<long>(now.tm_year) + 1900L;
  return year >= 2000 && year <= 2255;
}

void take_pc_clock(const std::tm& now, SetupRecord& setup) {
  if (setup.time_from_pc) {
    setup.hour = static_cast<std::uint32_t>(now.tm_hour);
    setup.minute = static_cast<std::uint32_t>(now.tm_min);
    setup.second = static_cast<std::uint32_t>(now.tm_sec);
  }
  // A year outside them would load a wrapped one; the date read before stays.
  if (setup.date_from_pc && pc_year_fits(now)) {
    setup.day = static_cast<std::uint32_t>(now.tm_mday);
    setup.month = static_cast<std::uint32_t>(now.tm_mon + 1);
    setup.year = static_cast<std::uint32_t>(now.tm_year - 100);
  }
}
