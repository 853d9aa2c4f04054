// The program's clock: a millisecond tick, a sleep, and the one pause of the exchange.
// tick_ms, sleep_ms and the fine-timing pair have one implementation per platform; pause_ms is
// shared.
#pragma once

#include <cstdint>

// Milliseconds from a monotonic clock as a wrapping 32-bit count; use unsigned differences.
std::uint32_t tick_ms();

// Sleeps in the operating system for about ms milliseconds (may return a little early).
void sleep_ms(std::uint32_t ms);

// Around the exchange: asks the system for sleeps and ticks as fine as a millisecond where they are
// coarser by default, and gives that request back. Each called once; a process that ends
// without end_fine_timing loses the request with it.
void begin_fine_timing();
void end_fine_timing();

// 0 returns at once; otherwise lasts until more than max(ms, 20) ticks have passed.
void pause_ms(std::uint32_t ms);
