// The program's clock: a millisecond tick, a sleep, and the one pause of the exchange.
// tick_ms and sleep_ms have one implementation per platform; pause_ms is shared.
#pragma once

#include <cstdint>

// Milliseconds from a monotonic clock as a wrapping 32-bit count; use unsigned differences.
std::uint32_t tick_ms();

// Sleeps in the operating system for about ms milliseconds (may return a little early).
void sleep_ms(std::uint32_t ms);

// 0 returns at once; otherwise lasts until more than max(ms, 20) ticks have passed.
void pause_ms(std::uint32_t ms);
