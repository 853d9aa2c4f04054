// The PC's local time, the one source of the clock defaults in both modes.
#pragma once

#include <ctime>

// The local time now (calendar time through the system's time zone), with a leap second read
// as :59. Every clock field is taken from one reading.
std::tm local_now();

// Whether the unit can hold the year of `now`: 2000 to 2255.
bool pc_year_fits(const std::tm& now);
