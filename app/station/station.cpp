// The production line: several ports at once, or the station that programs
// every device as it appears. Ctrl-C starts no new runs and lets the running
// ones finish; a second one, SIGTERM or SIGHUP stops them.
#include "app/station/batch.h"
#include "app/station/bays.h"

#include "app/station/page_feed.h"
#include "app/station/view.h"

#include "platform/port_watch.h"
#include "platform/tick.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

namespace {

size_t jobs_of(const batch_settings &set, size_t all)
{
    return set.jobs > 0 ? size_t(set.jobs) : std::max<size_t>(all, 1);
}

// Ctrl-C once: no new runs, said at once; twice (or SIGTERM, SIGHUP): the
// running ones are stopped.
int follow_interrupts(batch *g, bool *acknowledged, bool *killed)
{
    const int count = proc_interrupts();
    char text[300];
    if (count == 1 && !*acknowledged && g->running.empty()) {
        view_say(g, (g->halt.interrupt = "stopping: no device is running").c_str());
    } else if (count == 1 && !*acknowledged) {
        std::snprintf(text, sizeof text,
                      "stopping: %zu running device%s finish%s; no new device is started%s; "
                      "Ctrl-C again ends the running ones",
                      g->running.size(), g->running.size() == 1 ? "" : "s",
                      g->running.size() == 1 ? "es" : "",
                      g->set->station ? ", devices plugged in now are not programmed" : "");
        view_say(g, text);
        g->halt.interrupt = text;
    }
    if (count > 0 && !*acknowledged && g->set->station)
        batch_audit(g, "stopped", "", "", "by a signal");
    *acknowledged = *acknowledged || count > 0;
    if (count >= 2 && !*killed) {
        std::snprintf(text, sizeof text,
                      "ending %zu running device%s: each stops at its next command and is "
                      "recorded as interrupted",
                      g->running.size(), g->running.size() == 1 ? "" : "s");
        view_say(g, text);
        batch_kill_all(g);
        *killed = true;
    }
    return count;
}

// The ports not started yet are left out, once nothing more can start
// them: each recorded and shown with why.
void leave_out_rest(batch *g, const std::vector<std::string> &ports, size_t *next, bool stopping)
{
    if (*next == ports.size() ||
        !(stopping || keeper_log_waits(g->records) || g->serial_out || g->serial_stuck))
        return;
    std::string why = "the log takes no records; nothing more is started";
    int status = RUN_EXIT_SILENT;
    if (stopping) {
        why = "stopped by a request to stop";
        status = RUN_EXIT_DONE; // the stop's own status applies
    } else if (g->serial_out || g->serial_stuck) {
        why = batch_no_serial_why(g);
        status = g->serial_out ? RUN_EXIT_SILENT : RUN_EXIT_PORT;
    }
    if (!stopping && !g->serial_out && g->serial_stuck) {
        const size_t rest = ports.size() - *next;
        const std::string text = "no serial number could be reserved from " + g->serials->name +
                                 " for " + std::to_string(BATCH_RESERVE_GIVE_UP_MS / 1000) +
                                 " s: giving up, " + std::to_string(rest) + " port" +
                                 (rest == 1 ? " is" : "s are") + " not started";
        view_say(g, text.c_str());
    }
    while (*next < ports.size())
        batch_not_started(g, ports[(*next)++], why.c_str(), status);
}

void run_ports(batch *g, const std::vector<std::string> &ports)
{
    const size_t jobs = jobs_of(*g->set, ports.size());
    size_t next = 0;
    bool acknowledged = false, killed = false;
    while (next < ports.size() || !g->running.empty()) {
        const bool stopping = g->stopping = follow_interrupts(g, &acknowledged, &killed) > 0;
        leave_out_rest(g, ports, &next, stopping);
        ledger_claim claim;
        bool claimed = false;
        while (next < ports.size() && g->running.size() < jobs && !g->paused &&
               batch_claim(g, ports[next], nullptr, &claim, &claimed, false))
            batch_start(g, ports[next++], nullptr, claim, claimed);
        batch_pump(g, 100);
    }
}

bool is_running(const batch *g, const std::string &port)
{
    return std::any_of(g->running.begin(), g->running.end(),
                       [&](const batch_device &d) { return d.port == port; });
}

// Ports seen gone whose runs have ended count as new again; the numbers of
// ports other programs held that went away go back.
void forget_gone(batch *g, const port_info *present, int n, std::map<std::string, bool> *served)
{
    for (auto it = served->begin(); it != served->end();) {
        const bool here = std::any_of(present, present + n,
                                      [&](const port_info &p) { return it->first == p.path; });
        it->second = it->second || !here;
        if (it->second && !is_running(g, it->first)) {
            batch_release_busy(g, it->first);
            it = served->erase(it);
        } else {
            it = std::next(it);
        }
    }
}

// A new port that will not be started is served by its record and line.
void leave_out(batch *g, std::map<std::string, bool> *served, const std::string &path,
               const std::string &why)
{
    (*served)[path] = false;
    batch_not_started(g, path, why.c_str(), RUN_EXIT_SILENT);
}

// Each port is programmed once per appearance: it stays served until it
// has been seen gone (even while its run went on) and its run has ended;
// then it counts as new again. A port another program held is asked for
// again while the grace for it lasts. A new port that cannot be started
// (`refused` says why; or no serial number) is left out at once.
void serve_new(batch *g, const port_info *present, int n, std::map<std::string, bool> *served,
               const char *refused)
{
    forget_gone(g, present, n, served);
    const size_t jobs = jobs_of(*g->set, size_t(-1) / 2);
    const uint32_t now = platform_tick_ms();
    for (int i = 0; i < n; ++i) {
        const std::string path = present[i].path;
        const bool fresh = !served->count(path);
        const bool retry = !fresh && batch_busy_due(g, path, now) && !is_running(g, path);
        std::string held;
        if (fresh && bays_plugged(g->health, path, present[i], &held)) {
            leave_out(g, served, path, held);
            continue;
        }
        if (!fresh && (!retry || refused))
            continue; // served; a held port is asked for again only while devices start
        if (fresh && (refused || g->serial_out)) {
            leave_out(g, served, path, refused ? refused : batch_no_serial_why(g));
            continue;
        }
        if (g->running.size() >= jobs)
            continue; // started once a device ends
        ledger_claim claim;
        bool claimed = false;
        // A device plugged in is worth asking the database again at once.
        if (batch_claim(g, path, &present[i], &claim, &claimed, true)) {
            (*served)[path] = false;
            batch_start(g, path, &present[i], claim, claimed);
        } else if (fresh) {
            leave_out(g, served, path, batch_no_serial_why(g));
        }
    }
}

// While the log takes no records, no device is started; said once each way.
bool records_allow_starting(batch *g, bool *holding)
{
    const bool ok = (keeper_flush(g->records), !keeper_log_waits(g->records));
    char text[300];
    if (!ok && !*holding)
        std::snprintf(text, sizeof text,
                      "records cannot be written to %s: no new device is started until they "
                      "can be (tried every second)",
                      g->records->log.c_str());
    else if (ok && *holding)
        std::snprintf(text, sizeof text, "records are written to %s again: devices are started",
                      g->records->log.c_str());
    if (ok == *holding)
        view_say(g, text);
    if (ok != *holding)
        g->halt.log = ok ? "" : text;
    *holding = !ok;
    return ok;
}

// A matching name too long for any port is told, each time the set changes.
void report_unkept(batch *g, const port_watch *watch, std::string *told)
{
    const char *first = nullptr;
    const int unkept = port_watch_unkept(watch, &first);
    const std::string now = unkept ? std::to_string(unkept) + first : "";
    if (now == *told)
        return;
    *told = now;
    if (unkept == 0)
        return;
    char text[200];
    std::snprintf(text, sizeof text,
                  "%d matching name%s too long for a port path, not programmed; the first: ",
                  unkept, unkept == 1 ? " is" : "s are");
    view_say(g, (text + std::string(first)).c_str());
}

void run_station(batch *g)
{
    std::vector<const char *> patterns;
    for (const std::string &m : g->set->match)
        patterns.push_back(m.c_str());
    port_watch *watch = port_watch_new(patterns.data(), int(patterns.size()));
    std::vector<port_info> present(PORTS_MAX);
    std::map<std::string, bool> served; // port -> seen gone since its run began
    bool acknowledged = false, killed = false, holding = false;
    std::string unkept;
    g->health = bays_new(g->set->slots, g->set->hold_after_failures, g->set->rated_insertions);
    std::string why;
    if (!bays_load(g->health, g->records->db, g->set->host, &why))
        view_say(g, ("the bays' insertions before this shift cannot be read from the database " +
                     g->records->db_name + " (" + why + "): counted from 0, and added there")
                        .c_str());
    std::fprintf(stderr, "zmk-cli: waiting for devices; Ctrl-C stops\n");
    for (;;) {
        const int interrupts = follow_interrupts(g, &acknowledged, &killed);
        g->stopping = interrupts > 0;
        if (interrupts > 0 && g->running.empty())
            break;
        const bool records_ok = records_allow_starting(g, &holding);
        const int n = port_watch_poll(watch, 100, present.data(), int(present.size()));
        report_unkept(g, watch, &unkept);
        page_feed_ports(g->page, present.data(), n);
        // Stopped or paused: devices plugged in now are simply not started.
        if (interrupts == 0 && !g->paused)
            serve_new(g, present.data(), n, &served,
                      records_ok ? nullptr : "the log takes no records");
        else
            forget_gone(g, present.data(), n, &served);
        batch_pump(g, 0);
    }
    port_watch_free(watch);
    if (const int64_t unsaved = bays_save(g->health))
        std::fprintf(stderr,
                     "zmk-cli: %lld insertion%s of this shift could not be added to the bays' "
                     "counts in the database %s\n",
                     static_cast<long long>(unsaved), unsaved == 1 ? "" : "s",
                     g->records->db_name.c_str());
    bays_free(g->health);
    g->health = nullptr;
}

// A batch's page stays, with every device's end, until Ctrl-C.
void keep_page(batch *g)
{
    if (!g->page || g->set->station)
        return;
    if (proc_interrupts() > 0) // asked to stop already
        return;
    view_say(g, "every device has ended; the page stays until Ctrl-C");
    while (proc_interrupts() == 0)
        batch_pump(g, 100);
}

// The end of a batch or station: what waits for a store said, the count,
// the page let go.
int finish(batch *g)
{
    keeper_report(g->records);
    view_count(g);
    keep_page(g);
    page_feed_free(g->page);
    g->page = nullptr;
    return batch_status(g);
}

} // namespace

namespace {

// The job the batch or station runs is in the audit trail first.
void audit_job(batch *g)
{
    if (g->set->job.given)
        keeper_audit(g->records, audit_make(g->set->host, "job loaded", "", "", "", &g->set->job));
}

// The page from the start; false with the reason told and the status set.
bool start_page(batch *g, int *status)
{
    std::string why;
    const line_status s = page_feed_start(g, &g->page, &why);
    if (s == LINE_OK) {
        audit_job(g); // only a job that runs was loaded
        return true;
    }
    std::fprintf(stderr, "zmk-cli: %s\n", why.c_str());
    *status = s == LINE_REFUSED ? RUN_EXIT_USAGE : RUN_EXIT_PORT;
    return false;
}

} // namespace

int batch_run_ports(batch *g, const std::vector<std::string> &ports)
{
    proc_catch_interrupts();
    int status = 0;
    if (!start_page(g, &status))
        return status;
    run_ports(g, ports);
    return finish(g);
}

int station_run(batch *g)
{
    proc_catch_interrupts();
    int status = 0;
    if (!start_page(g, &status))
        return status;
    run_station(g);
    return finish(g);
}
