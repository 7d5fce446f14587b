// What a person sees of many devices: on a terminal, one live line per
// running device redrawn in place; a line for each device when it ends; the
// station's count and bell.
#include "app/cli/gang.h"

#include "platform/tick.h"

#include <cstdio>

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

void gang_report(gang *g, const gang_device &d, const cli_outcome &o)
{
    if (g->live)
        clear_block(g);
    if (o.exit != CLI_EXIT_DONE)
        std::printf("FAIL %s  %s\n", d.port.c_str(), o.message);
    else if (!g->opt->quiet)
        std::printf("PASS %s  %.1f s\n", d.port.c_str(), o.seconds);
    bell(g, o.exit == CLI_EXIT_DONE ? 1 : 3);
    if (g->station)
        gang_count(g);
    std::fflush(stdout);
}

void gang_count(gang *g)
{
    if (g->counted == g->programmed && g->programmed > 0)
        return;
    std::printf("%d programmed: %d ok, %d failed\n", g->programmed, g->ok, g->failed);
    std::fflush(stdout);
    g->counted = g->programmed;
}
