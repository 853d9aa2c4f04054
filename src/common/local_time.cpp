#include "common/local_time.h"

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
