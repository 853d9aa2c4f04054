// The PC's local time, the one source of the clock defaults in both modes.
#pragma once

#include <ctime>

#include "driver/setup_record.h"

// The local time now (calendar time through the system's time zone), with a leap second read
// as :59. Every clock field is taken from one reading.
std::tm local_now();

// Whether the unit can hold the year of `now`: 2000 to 2255.
bool pc_year_fits(const std::tm& now);

// Sets the fields that come from the PC clock from `now`: hour, minute and second when
// setup.time_from_pc, day, month and year when setup.date_from_pc and the year fits.
void take_pc_clock(const std::tm& now, SetupRecord& setup);
