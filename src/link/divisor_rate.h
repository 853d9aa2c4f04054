// The rate a UART of the 16550 family really runs at: its clock (baud_base, the clock / 16)
// divided by a whole divisor, the one nearest to the rate asked for.
#pragma once

#include <cstdint>

// The rate that the divisor nearest to baud_base / rate gives. rate is not 0.
std::uint32_t divisor_rate(std::uint32_t baud_base, std::uint32_t rate);

// True when made is more than 2% away from asked, too far for the unit to read the bytes.
bool rate_too_far(std::uint32_t asked, std::uint32_t made);

// setserial's old way to other rates: with one of its spd_ settings, a port asked for 38400
// bit/s runs at another rate instead (spd_hi 57600, spd_vhi 115200, spd_shi 230400, spd_warp
// 460800) or at baud_base / custom_divisor (spd_cust).
enum class SpeedAlias { kNone, kHi, kVhi, kShi, kWarp, kCustom };

// The rate a UART with clock baud_base really runs at when asked for rate, the port's alias
// for 38400 applied. 0 when it cannot be told (spd_cust without a divisor). rate is not 0.
std::uint32_t uart_rate(std::uint32_t baud_base, std::uint32_t rate, SpeedAlias alias,
                        std::uint32_t custom_divisor);

// The rate a port really runs at when asked for rate, as far as its driver's figures tell. A
// driver that names its UART type (the 8250 family) runs the divisor above; one that names none
// (a USB adapter: FTDI reports a 24 MHz clock but divides it its own way, down to a few hundred
// bit/s) tells only where setserial's spd_cust gave it a divisor for 38400. rate itself where
// nothing tells or rate is above the clock (the read-back decides those); 0 where it cannot be
// told. rate is not 0.
std::uint32_t port_rate(std::uint32_t baud_base, bool names_uart, std::uint32_t rate,
                        SpeedAlias alias, std::uint32_t custom_divisor);
