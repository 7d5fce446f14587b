// How long the device's replies took to start: per exchange, from the end of
// the command's last byte on the wire to the first byte of its reply, less
// that byte's own wire time. A USB serial adapter that holds short replies
// for its latency timer shows here (about 16 ms a reply on a default one).
// Kept as counts of 0.1 ms steps in fixed storage: nothing is allocated per
// exchange and no exchange is left out, however long the run.
#pragma once

#include <cstdint>

// Replies from 0 to 200 ms in 0.1 ms steps; a longer one counts in the last.
constexpr int REPLY_STEPS = 2001;

struct reply_times {
    uint32_t steps[REPLY_STEPS];
    uint32_t count;
};

void reply_times_init(reply_times *t);
// One reply that began `us` microseconds after its command had left.
void reply_times_add(reply_times *t, uint32_t us);
// The median in milliseconds, to 0.1 ms; -1 when no reply was timed.
double reply_times_median_ms(const reply_times *t);
