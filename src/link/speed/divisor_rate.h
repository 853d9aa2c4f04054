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

// The rate an FTDI adapter really runs at when asked for rate, from the clock ftdi_sio reports:
// 24000000 (the AM, BM, R and X chips) divides 3 MHz, 60000000 (the H chips) 12 MHz from 1200
// bit/s up, by a 14-bit whole number and eighths, rounded to the nearest eighth. A divisor past
// 14 bits wraps round (75 bit/s runs at about 415) and nothing runs above the divided clock.
// 0 for any other clock. rate is not 0.
std::uint32_t ftdi_rate(std::uint32_t baud_base, std::uint32_t rate);

// The rate a port really runs at when asked for rate, as far as its driver's figures tell. A
// driver that names its UART type (the 8250 family) runs the UART's divisor; one that names none
// (a USB adapter) runs FTDI's where it reports FTDI's clock, and setserial's spd_cust alias for
// 38400 on either. rate itself where nothing tells, or rate is above a UART's clock (the
// read-back decides those); 0 where it cannot be told. rate is not 0.
std::uint32_t port_rate(std::uint32_t baud_base, bool names_uart, std::uint32_t rate,
                        SpeedAlias alias, std::uint32_t custom_divisor);
