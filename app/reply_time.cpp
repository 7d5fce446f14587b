#include "app/reply_time.h"

#include <cstring>

void reply_times_init(reply_times *t) { std::memset(t, 0, sizeof *t); }

void reply_times_add(reply_times *t, uint32_t us)
{
    const uint32_t step = (us + 50) / 100; // to the nearest 0.1 ms
    ++t->steps[step < REPLY_STEPS ? step : REPLY_STEPS - 1];
    ++t->count;
}

// The lower median of an even count: a value that was measured, never a
// mean of two.
double reply_times_median_ms(const reply_times *t)
{
    if (t->count == 0)
        return -1;
    const uint32_t rank = (t->count - 1) / 2;
    uint32_t below = 0;
    for (int i = 0; i < REPLY_STEPS; ++i) {
        below += t->steps[i];
        if (below > rank)
            return i / 10.0;
    }
    return (REPLY_STEPS - 1) / 10.0;
}
