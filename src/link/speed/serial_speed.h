// Line speeds outside the standard table, and the rate the hardware really makes.
#pragma once

#include <cstdint>

// Sets both directions of an already configured port to baud_rate and reads it back. Returns
// true on failure (no such interface, the driver refused, or it reports another rate).
bool set_custom_speed(int fd, std::uint32_t baud_rate);

// The UART clock the driver reports (baud_base: its fastest rate), or 0 where it reports none.
std::uint32_t uart_base_rate(int fd);

// Where the driver reports its clock (a UART's, or an FTDI adapter's), works out the rate the
// divisor really gives. Returns
// true (failure) when that is more than 2% from baud_rate, with the rate in made_out. Passes
// where the driver reports no clock or baud_rate is above it. Call after the speed is set:
// some drivers report the current rate as their clock.
bool check_divisor_rate(int fd, std::uint32_t baud_rate, std::uint32_t& made_out);
