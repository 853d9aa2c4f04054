// Line speeds on a POSIX system: the standard rates termios names, any other rate where the
// system takes one, and the rate the hardware really makes. The divisors' arithmetic behind the
// last is plain code, in divisor_rate.h.
#pragma once

#include <cstdint>

struct termios;

// Whether termios names baud_rate with a constant of its own (50 to 115200 bit/s).
bool is_standard_rate(std::uint32_t baud_rate);

// Puts baud_rate into both directions of line where it is a standard rate, else 9600 until
// set_custom_speed sets the real one. Returns true (failure) when termios refuses it.
bool put_standard_speed(termios& line, std::uint32_t baud_rate);

// Whether line, as read back from the driver, holds the standard rate baud_rate in both
// directions; true for any other rate, which set_custom_speed has checked itself.
bool holds_standard_speed(const termios& line, std::uint32_t baud_rate);

// Sets both directions of an already configured port to baud_rate and reads it back. Returns
// true on failure (no such interface, the driver refused, or it reports another rate).
bool set_custom_speed(int fd, std::uint32_t baud_rate);

// The UART clock the driver reports (baud_base: its fastest rate), or 0 where it reports none.
std::uint32_t uart_base_rate(int fd);

// Where the driver reports its clock (a UART's, or an FTDI adapter's), works out the rate the
// divisor really gives. Returns true (failure) when that is more than 2% from baud_rate, with
// the rate in made_out. Passes where the driver reports no clock or baud_rate is above it. Call
// after the speed is set: some drivers report the current rate as their clock.
bool check_divisor_rate(int fd, std::uint32_t baud_rate, std::uint32_t& made_out);
