// The millisecond clock: GetTickCount on Windows, a monotonic clock on POSIX.
#pragma once

#include <cstdint>

// Wraps after about 49.7 days; compare by unsigned difference.
uint32_t platform_tick_ms();
