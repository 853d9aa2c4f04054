// The PC's local time, the one source of the clock defaults in both modes.
#pragma once

#include <ctime>

// The local time now (calendar time through the system's time zone), with a leap second read
// as :59. Call once per run: both modes take every clock field from one reading.
std::tm local_now();
