#include "app/station/page_feed.h"
#include "app/station/batch.h"
#include "app/station/bays.h"

#include "app/page/metrics.h"
#include "app/page/server.h"
#include "app/page/slots.h"
#include "app/page/status.h"
#include "app/station/totals.h"
#include "app/station/view.h"
#include "platform/tick.h"

#include <cstdio>

struct page_feed {
    ui_server *server = nullptr;
    ui_slots *slots = nullptr;
    metrics *counts = nullptr;
    totals *today = nullptr; // the line's totals, from a shared server only
    uint32_t due_ms = 0;
    std::vector<snapshot_end> ended; // since the last snapshot
    bool ports_known = false;
    std::vector<port_info> present;
};

namespace {

constexpr uint32_t UI_EVERY_MS = 100;

// A Clear for a bay that is not held (cleared already, or never held)
// changes nothing and is said.
void take_clears(page_feed *t, batch *g)
{
    for (const ui_clear &c : ui_server_take_clears(t->server)) {
        const bool cleared = bays_clear(g->health, c.slot);
        const std::string text = cleared ? c.slot + " cleared from the page (" + c.viewer +
                                               "): devices plugged in there are started again"
                                         : "Clear from the page: " + c.slot + " is not held";
        view_say(g, text.c_str());
        if (cleared)
            batch_audit(g, "bay cleared", c.slot, c.viewer, "");
    }
}

void take_request(page_feed *t, batch *g)
{
    std::string viewer;
    const ui_request r = ui_server_take_request(t->server, &viewer);
    if (r == UI_STOP && !g->paused) {
        view_say(g, (g->halt.page = "stopped from the page: running devices finish, no new "
                                    "device is started; Resume on the page starts them again")
                        .c_str());
        batch_audit(g, "stopped", "", viewer, "from the page");
    } else if (r == UI_RESUME && g->paused) {
        view_say(g, "resumed from the page: devices are started");
        batch_audit(g, "resumed", "", viewer, "from the page");
    }
    if (r != UI_NONE)
        g->paused = r == UI_STOP;
    take_clears(t, g);
}

snapshot_device device_of(const batch *g, const batch_device &d)
{
    snapshot_device s;
    s.port = d.port;
    s.usb = d.usb;
    s.start_ms = d.start_ms;
    s.exchanges = d.watch.exchanges;
    s.phase = d.watch.last.state;
    s.done = d.watch.last.done;
    s.total = d.watch.last.total;
    s.waiting = d.watch.waiting;
    s.detail = d.watch.waiting_text;
    s.serial = d.claimed && g->serials ? std::to_string(d.claim.value) : "";
    return s;
}

snapshot snapshot_of(page_feed *t, const batch *g)
{
    snapshot s;
    s.station = g->set->host;
    s.batch = !g->set->station;
    s.image_name = g->image->name;
    s.image_size = g->image->size;
    s.image_crc32 = g->image->crc32;
    s.programmed = g->programmed, s.ok = g->ok, s.failed = g->failed;
    s.in_use = g->in_use, s.not_started = g->not_started;
    s.stopping = g->paused || g->stopping;
    s.halt = view_halt(g);
    s.job_name = g->set->job.given ? g->set->job.name : "";
    s.job_version = g->set->job.version;
    s.job_sealed = g->set->job_sealed;
    bays_show(g->health, &s.bays);
    s.today_known = totals_get(t->today, &s.today_programmed, &s.today_ok);
    s.ports_known = t->ports_known;
    s.present = t->present;
    for (const batch_device &d : g->running)
        s.running.push_back(device_of(g, d));
    for (const auto &[port, busy] : g->busy)
        if (!busy.reported)
            s.busy.push_back(snapshot_busy{port, busy.first_ms});
    s.ended.swap(t->ended);
    return s;
}

} // namespace

line_status page_feed_start(batch *g, page_feed **out, std::string *why)
{
    *out = nullptr;
    if (g->set->ui.empty())
        return LINE_OK;
    auto *t = new page_feed;
    t->slots = ui_slots_new();
    t->slots->station = g->set->station;
    t->counts = metrics_new(g->set->host);
    std::string url;
    for (const std::string &named : g->set->slots)
        if (ui_slots_parse(t->slots, named, why) != LINE_OK) {
            *why = "--slot " + named + ": " + *why;
            page_feed_free(t);
            return LINE_REFUSED;
        }
    t->server = ui_server_new(g->set->ui, g->set->ui_hosts, &url, why);
    if (!t->server) {
        *why = "cannot serve the page on " + g->set->ui + ": " + *why;
        page_feed_free(t);
        return LINE_AWAY;
    }
    t->today = totals_start(g->set->db);
    std::fprintf(stderr, "zmk-cli: the station's page is at %s\n", url.c_str());
    *out = t;
    page_feed_update(t, g);
    return LINE_OK;
}

void page_feed_record(page_feed *t, const std::string &record_json)
{
    if (t)
        ui_server_record(t->server, record_json);
}

void page_feed_end(page_feed *t, const batch *g, const batch_device &d, const run_end &e,
                   const char *record_why)
{
    if (!t)
        return;
    snapshot_end s;
    s.port = d.port;
    s.usb = d.usb;
    s.start_ms = d.start_ms;
    s.seconds = e.seconds;
    s.passed = e.exit == RUN_EXIT_DONE && !record_why;
    s.in_use = e.result == RUN_IN_USE;
    s.result = run_result_word(e.result);
    s.message = e.message;
    if (record_why)
        s.message = e.exit == RUN_EXIT_DONE ? std::string("programmed, but ") + record_why
                                            : s.message + "; " + record_why;
    s.next = view_next_step(g->set->station, e.result);
    s.serial = d.claimed ? std::to_string(d.claim.value) : "";
    s.serial_state = d.claimed ? ledger_state(e.exit == RUN_EXIT_DONE, d.watch.serial_sent) : "";
    s.reply_ms = e.reply_ms;
    // A port with no tile yet gets one named after it when the page next looks.
    const ui_slot *slot = ui_slots_find(t->slots, d.port, d.usb);
    metrics_end(t->counts, slot ? slot->name : d.port, s.result, e.seconds, s.serial_state,
                !record_why, e.reply_ms);
    t->ended.push_back(s);
    t->due_ms = platform_tick_ms(); // a result is shown at once
}

void page_feed_ports(page_feed *t, const port_info *present, int n)
{
    if (!t)
        return;
    t->ports_known = true;
    t->present.assign(present, present + n);
}

void page_feed_update(page_feed *t, batch *g)
{
    const uint32_t now = platform_tick_ms();
    if (!t || int32_t(now - t->due_ms) < 0)
        return;
    t->due_ms = now + UI_EVERY_MS;
    take_request(t, g);
    const snapshot s = snapshot_of(t, g);
    ui_slots_take(t->slots, s, now);
    ui_server_status(t->server, ui_status_json(s, t->slots, now));
    ui_server_metrics(t->server, metrics_text(t->counts, int(g->running.size()),
                                              bays_held(g->health), !s.stopping));
}

void page_feed_free(page_feed *t)
{
    if (!t)
        return;
    if (t->server)
        ui_server_free(t->server);
    if (t->slots)
        ui_slots_free(t->slots);
    metrics_free(t->counts);
    totals_stop(t->today);
    delete t;
}
