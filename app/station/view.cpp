#include "app/station/view.h"

#include "platform/tick.h"

#include <cstdio>

namespace {

void clear_block(batch *g)
{
    if (g->drawn_lines > 0)
        std::printf("\x1b[%dF\x1b[J", g->drawn_lines);
    g->drawn_lines = 0;
}

void draw_device(const batch_device &d, uint32_t now)
{
    char line[160];
    run_format_live(&d.watch, now, line, sizeof line);
    std::printf("%-24s %s\x1b[K\n", d.port.c_str(), line);
}

void bell(const batch *g, int times)
{
    if (!g->set->station || g->set->run.quiet || !g->tty)
        return;
    for (int i = 0; i < times; ++i)
        std::fputc('\a', stdout);
}

} // namespace

void view_draw(batch *g)
{
    if (!g->live)
        return;
    clear_block(g);
    const uint32_t now = platform_tick_ms();
    for (const batch_device &d : g->running) {
        draw_device(d, now);
        ++g->drawn_lines;
    }
    std::fflush(stdout);
}

namespace {

// ", serial 1042" for a pass; for a failure, what became of its number.
std::string serial_said(const batch_device &d, const run_end &e)
{
    if (!d.claimed)
        return "";
    if (e.exit == RUN_EXIT_DONE)
        return ", serial " + std::to_string(d.claim.value);
    return " (" + record_serial_words(d.claim.value, ledger_state(false, d.watch.serial_sent)) +
           ")";
}

} // namespace

void view_report(batch *g, const batch_device &d, const run_end &e, const char *record_why)
{
    if (g->live)
        clear_block(g);
    const std::string serial = serial_said(d, e);
    const char *next = view_next_step(g->set->station, e.result);
    if (e.exit == RUN_EXIT_DONE && record_why)
        std::printf("FAIL %s  programmed%s, but %s\n", d.port.c_str(), serial.c_str(), record_why);
    else if (e.exit != RUN_EXIT_DONE)
        std::printf("%s %s  %s%s%s%s\n", e.result == RUN_IN_USE ? "BUSY" : "FAIL", d.port.c_str(),
                    e.message, next[0] ? "; " : "", next, serial.c_str());
    else if (!g->set->run.quiet)
        std::printf("PASS %s  %.1f s%s\n", d.port.c_str(), e.seconds, serial.c_str());
    if (e.exit != RUN_EXIT_DONE && record_why)
        std::printf("     %s\n", record_why);
    bell(g, e.exit == RUN_EXIT_DONE && !record_why ? 1 : 3);
    if (g->set->station)
        view_count(g);
    std::fflush(stdout);
}

void view_count(batch *g)
{
    const int shown = g->programmed + g->in_use + g->not_started;
    if (g->counted == shown && shown > 0)
        return;
    char yield[16] = "--";
    if (g->programmed > 0)
        std::snprintf(yield, sizeof yield, "%.1f %%", 100.0 * g->ok / g->programmed);
    std::printf("%d programmed: %d ok, %d failed, yield %s", g->programmed, g->ok, g->failed,
                yield);
    if (g->in_use > 0)
        std::printf("; %d not programmed: in use by another program", g->in_use);
    if (g->not_started > 0)
        std::printf("; %d not started", g->not_started);
    std::printf("\n");
    std::fflush(stdout);
    g->counted = shown;
}

void view_say(batch *g, const char *text)
{
    if (g->live)
        clear_block(g);
    std::printf("zmk-cli: %s\n", text);
    std::fflush(stdout);
}

std::string view_halt(const batch *g)
{
    if (g->stopping && !g->halt.interrupt.empty())
        return g->halt.interrupt;
    if (g->paused)
        return g->halt.page;
    if (g->serial_out || g->serial_away)
        return g->halt.serial;
    return g->halt.log;
}

const char *view_next_step(bool station, run_result r)
{
    if (r == RUN_IN_USE)
        return station ? "close that program, then unplug the device and plug it in again"
                       : "close that program, then program the device again";
    if (r == RUN_OK || r == RUN_INTERRUPTED || r == RUN_PERMISSION || r == RUN_NOT_A_PORT ||
        r == RUN_NO_PORT)
        return "";
    return station ? "unplug the device and plug it in again to program it again"
                   : "check the device and its cable, then program it again";
}
