#include "tools/devsim/line_faults.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <unistd.h>

void line_fault_frame_done(line_fault_state *s, uint32_t frame, int64_t done_us)
{
    if (s->cfg.kind != DEVSIM_LINE_NONE && s->cfg.after && frame == s->cfg.after &&
        s->started_us < 0)
        s->started_us = done_us;
}

bool line_fault_on(line_fault_state *s, int64_t now_us, int64_t *left_us)
{
    if (s->cfg.kind == DEVSIM_LINE_NONE)
        return false;
    if (s->started_us < 0) {
        if (s->cfg.after)
            return false;
        s->started_us = now_us;
    }
    int64_t left = s->cfg.ms ? s->started_us + int64_t(s->cfg.ms) * 1000 - now_us : INT64_MAX;
    if (left_us)
        *left_us = left;
    return left > 0;
}

bool line_fault_queued_behind(line_fault_state *s, uint64_t rx)
{
    if (s->queued_until < 0 || rx > uint64_t(s->queued_until))
        return false;
    return ++s->queued > 1;
}

namespace {

// One more log line, the kind a loader prints at boot.
void more_text(line_noise *z)
{
    static constexpr std::array<const char *, 6> said = {
        "boot: rom loader v1.4",      "clock: 48 MHz from the crystal",
        "flash: id ef4016, 2048 KiB", "console: 115200 8N1",
        "watchdog: armed, 2 s",       "loader: no valid image, waiting"};
    char line[80];
    int n = std::snprintf(line, sizeof line, "[%5u.%03u] %s\r\n", z->lines / 8, z->lines % 8 * 125,
                          said[z->lines % said.size()]);
    ++z->lines;
    z->pending.append(line, size_t(n));
}

} // namespace

int64_t line_noise_pump(line_noise *z, int32_t kind, uint32_t baud, int fd, int64_t now_us,
                        uint64_t *sent)
{
    // Unpaced chatter still comes often enough (2 ms) that the line is never
    // quiet for the host's 10 ms.
    const int64_t period = kind == DEVSIM_LINE_TRICKLE ? 100'000'000
                           : baud                      ? 10'000'000'000 / int64_t(baud)
                                                       : 2'000'000;
    const int64_t now = now_us * 1000;
    if (z->next_ns < 0) {
        z->next_ns = now;
        z->pending.reserve(1024);
    }
    // After a stretch the host did not read, no burst: at most 20 ms worth,
    // and never two trickled bytes at once.
    z->next_ns = std::max(z->next_ns, now - std::max<int64_t>(period, 20'000'000) + 1);
    if (now >= z->next_ns) {
        size_t due = size_t((now - z->next_ns) / period + 1);
        while (z->pending.size() < due)
            more_text(z);
        ssize_t w = write(fd, z->pending.data(), due);
        if (w > 0) {
            z->pending.erase(0, size_t(w));
            z->next_ns += w * period;
            *sent += uint64_t(w);
        }
        if (w < ssize_t(due))
            return 2'000; // the host does not read (or is gone): try again shortly
    }
    // Paced chatter goes out in batches a millisecond apart, not byte by byte.
    return std::clamp<int64_t>((z->next_ns - now) / 1000, 1'000, 20'000);
}
