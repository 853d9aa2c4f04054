#include "driver/setup_record.h"

#include <cstdint>

#include "common/local_time.h"

SetupRecord g_setup;

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
