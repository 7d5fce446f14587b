// What a person sees of many devices: on a terminal, one live line per
// running device redrawn in place; a line for each device when it ends; the
// station's count and bell.
#include "app/cli/gang.h"

#include "platform/tick.h"

#include <cstdio>
#include <cstring>

namespace {

void clear_block(gang *g)
{
    if (g->drawn_lines > 0)
        std::printf("\x1b[%dF\x1b[J", g->drawn_lines);
    g->drawn_lines = 0;
}

void draw_device(const gang_device &d, uint32_t now)
{
    char line[160];
    cli_format_live(&d.watch, now, line, sizeof line);
    std::printf("%-24s %s\x1b[K\n", d.port.c_str(), line);
}

void bell(const gang *g, int times)
{
    if (!g->station || g->opt->quiet || !g->tty)
        return;
    for (int i = 0; i < times; ++i)
        std::fputc('\a', stdout);
}

} // namespace

void gang_draw(gang *g)
{
    if (!g->live)
        return;
    clear_block(g);
    const uint32_t now = platform_tick_ms();
    for (const gang_device &d : g->running) {
        draw_device(d, now);
        ++g->drawn_lines;
    }
    std::fflush(stdout);
}

namespace {

// ", serial 1042" for a pass; for a failure, what became of its number.
std::string serial_said(const gang_device &d, const cli_outcome &o)
{
    if (!d.claimed)
        return "";
    const std::string value = std::to_string(d.claim.value);
    if (o.exit == CLI_EXIT_DONE)
        return ", serial " + value;
    const char *state = cli_db_serial_state(false, d.watch.serial_sent);
    return std::string(" (serial ") + value + " " + state +
           (std::strcmp(state, "spoiled") == 0 ? ": never handed out again)"
                                               : ": the next device gets it)");
}

} // namespace

void gang_report(gang *g, const gang_device &d, const cli_outcome &o, const char *record_why)
{
    if (g->live)
        clear_block(g);
    const std::string serial = serial_said(d, o);
    const char *next = gang_next_step(g->station, o);
    if (o.exit == CLI_EXIT_DONE && record_why)
        std::printf("FAIL %s  programmed%s, but its record was not kept: %s\n", d.port.c_str(),
                    serial.c_str(), record_why);
    else if (o.exit != CLI_EXIT_DONE)
        std::printf("%s %s  %s%s%s%s\n", std::strcmp(o.result, "in-use") == 0 ? "BUSY" : "FAIL",
                    d.port.c_str(), o.message, next[0] ? "; " : "", next, serial.c_str());
    else if (!g->opt->quiet)
        std::printf("PASS %s  %.1f s%s\n", d.port.c_str(), o.seconds, serial.c_str());
    if (o.exit != CLI_EXIT_DONE && record_why)
        std::printf("     its record was not kept: %s\n", record_why);
    bell(g, o.exit == CLI_EXIT_DONE && !record_why ? 1 : 3);
    if (g->station)
        gang_count(g);
    std::fflush(stdout);
}

void gang_count(gang *g)
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

void gang_say(gang *g, const char *text)
{
    if (g->live)
        clear_block(g);
    std::printf("zmk-cli: %s\n", text);
    std::fflush(stdout);
}
