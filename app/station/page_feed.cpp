// The station's page beside the loop: the server runs on its own thread and
// only ever gets finished documents, so no viewer can hold up a device.
#include "app/cli/gang.h"

#include "app/cli/ui/server.h"
#include "app/cli/ui/slots.h"
#include "app/cli/ui/status.h"
#include "platform/tick.h"

#include <cstdio>
#include <ctime>

namespace {

constexpr uint32_t UI_EVERY_MS = 100, TODAY_EVERY_MS = 10000;

// The line's totals since midnight UTC, from a shared server only (a file
// holds this station's alone), and only while it answers.
void ask_today(gang *g, uint32_t now)
{
    if (!g->db || !store_is_server_name(g->opt->db) || g->spooling || g->serial_away ||
        int32_t(now - g->today_ms) < 0)
        return;
    g->today_ms = now + TODAY_EVERY_MS;
    char day[16];
    const std::time_t t = std::time(nullptr);
    std::strftime(day, sizeof day, "%Y-%m-%d", std::gmtime(&t));
    int64_t runs = 0, ok = 0;
    std::string why;
    if (store_totals(g->db->db, day, &runs, &ok, &why) == STORE_OK)
        g->today_runs = runs, g->today_ok = ok;
}

void take_request(gang *g)
{
    const ui_request r = ui_server_take_request(g->ui);
    if (r == UI_STOP && !g->paused)
        gang_say(g, "stopped from the page: running devices finish, no new device is started; "
                    "Resume on the page starts them again");
    else if (r == UI_RESUME && g->paused)
        gang_say(g, "resumed from the page: devices are started");
    if (r != UI_NONE)
        g->paused = r == UI_STOP;
}

} // namespace

int gang_ui_start(gang *g)
{
    if (g->opt->ui.empty())
        return 0;
    g->slots = ui_slots_new();
    g->slots->station = g->station;
    std::string url, why;
    for (const std::string &named : g->opt->slots)
        if (ui_slots_parse(g->slots, named, &why) != 0) {
            std::fprintf(stderr, "zmk-cli: --slot %s: %s\n", named.c_str(), why.c_str());
            return CLI_EXIT_USAGE;
        }
    g->ui = ui_server_new(g->opt->ui, &url, &why);
    if (!g->ui) {
        std::fprintf(stderr, "zmk-cli: cannot serve the page on %s: %s\n", g->opt->ui.c_str(),
                     why.c_str());
        return CLI_EXIT_PORT;
    }
    std::fprintf(stderr, "zmk-cli: the station's page is at %s\n", url.c_str());
    gang_ui_update(g);
    return 0;
}

void gang_ui_record(gang *g, const std::string &record_json)
{
    if (g->ui)
        ui_server_record(g->ui, record_json);
}

void gang_ui_end(gang *g, const gang_device &d, const cli_outcome &o, const char *record_why)
{
    if (!g->slots)
        return;
    ui_slots_end(g->slots, d, o, record_why);
    g->ui_ms = platform_tick_ms(); // a result is shown at once
}

void gang_ui_update(gang *g, const port_info *present, int n)
{
    const uint32_t now = platform_tick_ms();
    if (!g->ui)
        return;
    if (present)
        ui_slots_seen(g->slots, present, n, now);
    if (int32_t(now - g->ui_ms) < 0)
        return;
    g->ui_ms = now + UI_EVERY_MS;
    take_request(g);
    ask_today(g, now);
    ui_station s;
    s.stopping = g->paused || g->stopping;
    s.today_known = g->today_runs >= 0;
    s.today_programmed = int(g->today_runs);
    s.today_ok = int(g->today_ok);
    s.today_failed = int(g->today_runs - g->today_ok);
    ui_server_status(g->ui, ui_status_json(g, g->slots, s, now));
}

void gang_ui_free(gang *g)
{
    if (g->ui)
        ui_server_free(g->ui);
    if (g->slots)
        ui_slots_free(g->slots);
    g->ui = nullptr;
    g->slots = nullptr;
}
