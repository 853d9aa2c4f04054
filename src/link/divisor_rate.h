// The rate a UART of the 16550 family really runs at: its clock (baud_base, the clock / 16)
// divided by a whole divisor, the one nearest to the rate asked for.
#pragma once

#include <cstdint>

// The rate that the divisor nearest to baud_base / rate gives. rate is not 0.
std::uint32_t divisor_rate(std::uint32_t baud_base, std::uint32_t rate);

// True when made is more than 2% away from asked, too far for the unit to read the bytes.
bool rate_too_far(std::uint32_t asked, std::uint32_t made);
