// The millisecond clock: GetTickCount on Windows, a monotonic clock on POSIX;
// and a finer one for timing a reply (QueryPerformanceCounter on Windows).
#pragma once

#include <cstdint>

// Wraps after about 49.7 days; compare by unsigned difference.
uint32_t platform_tick_ms();
// Microseconds on a monotonic clock from an arbitrary start; never wraps.
uint64_t platform_tick_us();
