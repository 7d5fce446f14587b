#include "platform/tick.h"

#include <windows.h>

uint32_t platform_tick_ms() { return GetTickCount(); }

// GetTickCount moves in steps of about 16 ms; the performance counter does not.
uint64_t platform_tick_us()
{
    static const uint64_t hz = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return uint64_t(f.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const uint64_t n = uint64_t(now.QuadPart);
    return n / hz * 1000000u + n % hz * 1000000u / hz;
}
