// The watch over a run: progress and repeats from the engine's events, the
// live line, and where a stopped run stopped.
#include "app/run/watch.h"

#include "app/verdict.h"

#include "layers/stack.h"

#include <algorithm>
#include <cstdio>

void run_watch_init(run_watch *t, uint32_t now_ms, int64_t serial_at)
{
    *t = run_watch{};
    t->program_start_ms = now_ms; // until the first PROGRAM sets it
    t->serial_at = serial_at;
}

namespace {

void watch_sent(run_watch *t, const zmk_event *e, uint32_t now_ms)
{
    if (e->command == LPROG_PROGRAM && !t->program_started) {
        t->program_started = 1;
        t->program_start_ms = now_ms;
        t->program_start_done = e->done;
    }
    // Polling a running erase is how the run waits, not a repeat.
    if (t->exchanges > 0 && e->command == t->last.state && e->address == t->last.address &&
        e->command != LPROG_WAIT_ERASE)
        ++t->repeats;
    t->last = lprog_progress{e->command, e->address, e->done, e->total};
    ++t->exchanges;
    // Chunks go in order from the image's start, told before they are
    // written; every command after them carries the whole image.
    if (t->serial_at >= 0 && e->command >= LPROG_PROGRAM && e->command != LPROG_IDLE &&
        (e->command != LPROG_PROGRAM || int64_t(e->done) + STACK_CHUNK > t->serial_at))
        t->serial_sent = true;
}

} // namespace

void run_watch_event(run_watch *t, const zmk_event *e, uint32_t now_ms)
{
    if (e->kind == ZMK_SENT) {
        watch_sent(t, e, now_ms);
    } else if (e->kind == ZMK_ANSWER && e->answer == ZMK_ACK) {
        t->waiting = ZMK_GOING;
        t->waiting_text[0] = 0;
    } else if (e->kind == ZMK_WAITING) {
        t->waiting = e->verdict;
        std::snprintf(t->waiting_text, sizeof t->waiting_text, "%s", e->text ? e->text : "");
    }
}

int run_format_live(const run_watch *t, uint32_t now_ms, char *dest, size_t size)
{
    if (t->waiting != ZMK_GOING)
        return std::snprintf(dest, size, "%s", t->waiting_text);
    const lprog_progress &p = t->last;
    uint32_t total = p.total ? p.total : 1;
    uint32_t done = p.done > p.total ? p.total : p.done;
    unsigned pct = unsigned(uint64_t(done) * 100 / total);
    char rate[24] = "-- kB/s";
    char left[24] = "";
    uint32_t ms = now_ms - t->program_start_ms;
    uint32_t sent = done - (t->program_start_done < done ? t->program_start_done : done);
    if (t->program_started && ms > 0 && sent > 0) {
        double bps = double(sent) * 1000.0 / ms;
        std::snprintf(rate, sizeof rate, "%.1f kB/s", bps / 1000.0);
        auto secs = unsigned(double(p.total - done) / bps + 0.5);
        if (p.state == LPROG_PROGRAM)
            std::snprintf(left, sizeof left, "  %u:%02u left", secs / 60, secs % 60);
    }
    return std::snprintf(dest, size, "%-21s %3u%%  %u/%u bytes  %s%s", lprog_phase_name(p.state),
                         pct, unsigned(done), unsigned(p.total), rate, left);
}

void run_format_stopped(const run_watch *t, char *dest, size_t size)
{
    const char *leaves;
    switch (t->exchanges ? t->last.state : LPROG_IDLE) {
    case LPROG_IDLE:
        std::snprintf(dest, size, "interrupted before the first command: the device is untouched");
        return;
    case LPROG_ERASE:
    case LPROG_WAIT_ERASE:
        leaves = "the device's flash may be partly erased and it will not start; program it again";
        break;
    case LPROG_SET_CLOCK:
        leaves = "the image is written, but the clock is not set and the device was not reset; "
                 "program it again";
        break;
    case LPROG_RESET:
        leaves = "the image is written; the reset may not have reached the device: power it off "
                 "and on";
        break;
    default: leaves = "the device is partly programmed and will not start; program it again";
    }
    char command[48];
    verdict_describe(t->last.state, t->last.address, command, sizeof command);
    std::snprintf(dest, size, "interrupted while waiting on %s: %s", command, leaves);
}
