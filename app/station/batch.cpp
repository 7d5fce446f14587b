#include "app/cli/gang.h"

#include "app/cli/record.h"
#include "platform/files.h"
#include "platform/terminal.h"
#include "platform/tick.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void post(gang *g, const gang_message &m)
{
    {
        std::lock_guard<std::mutex> hold(g->lock);
        g->inbox.push_back(m);
    }
    g->wake.notify_one();
}

// Splits the child's output into lines and passes on the protocol's.
void read_child(gang *g, gang_device *d)
{
    std::string pending;
    char chunk[512];
    for (int n; (n = proc_read(d->child, chunk, sizeof chunk)) > 0;) {
        pending.append(chunk, size_t(n));
        for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
            gang_message m{d, false, {}};
            pending[eol] = 0;
            if (child_parse(pending.c_str(), &m.line) != CHILD_NONE)
                post(g, m);
            pending.erase(0, eol + 1);
        }
    }
    post(g, gang_message{d, true, {}});
}

std::vector<std::string> child_args(const gang *g, const gang_device &d)
{
    char timeout[32], erase[32];
    std::snprintf(timeout, sizeof timeout, "%g", g->opt->timeout_s);
    std::snprintf(erase, sizeof erase, "%g", g->opt->erase_timeout_s);
    std::vector<std::string> args{g->self, "--child",         "--timeout",
                                  timeout, "--erase-timeout", erase};
    if (!g->opt->image.empty())
        args.insert(args.end(), {"--image", g->opt->image});
    if (d.claimed)
        args.insert(args.end(),
                    {"--serial-put", std::to_string(g->plan->at) + ":" +
                                         serial_hex(d.claim.bytes.data(), d.claim.bytes.size())});
    args.push_back(d.port);
    return args;
}

// What a finished child's run came to.
cli_outcome outcome_of(const gang_device &d, int status)
{
    cli_outcome o{};
    o.seconds = (platform_tick_ms() - d.start_ms) / 1000.0;
    o.exchanges = d.ended ? d.end.exchanges : d.watch.exchanges;
    o.repeats = d.ended ? d.end.repeats : d.watch.repeats;
    const int stop = proc_stop_status() > 0 ? proc_stop_status() : 130;
    if (d.ended) {
        o.exit = d.end.exit;
        o.result = d.end.result[0] ? d.end.result : "ok";
        std::snprintf(o.message, sizeof o.message, "%s", d.end.message);
        if (d.killed && std::strcmp(o.result, "interrupted") == 0)
            o.exit = stop; // the parent's request, not the signal it passed on
        return o;
    }
    if (d.killed) {
        o.exit = stop;
        o.result = "interrupted";
        cli_format_stopped(&d.watch, o.message, sizeof o.message);
        return o;
    }
    o.exit = CLI_EXIT_SILENT;
    o.result = "crashed";
    std::snprintf(o.message, sizeof o.message, "the run ended abnormally (status %d)", status);
    return o;
}

cli_record record_of(const gang *g, const gang_device &d, const cli_outcome &o)
{
    cli_record r{d.start,        g->host,         d.port,    d.usb,  g->image->name,
                 g->image->size, g->image->crc32, o.result,  o.exit, o.message,
                 o.seconds,      o.exchanges,     o.repeats, d.run};
    if (d.claimed)
        r.serial = {g->plan->pool, d.claim.value,
                    serial_hex(d.claim.bytes.data(), d.claim.bytes.size()),
                    cli_db_serial_state(o.exit == CLI_EXIT_DONE, d.watch.serial_sent)};
    return r;
}

// Into the database, or onto the station's spool while it cannot take it
// (said once each way).
bool record_db(gang *g, const cli_record &r, std::string *why)
{
    bool spooled = false;
    std::string refused;
    if (!cli_db_record(g->db, cli_record_json(r), &spooled, &refused)) {
        *why = refused;
        return false;
    }
    if (spooled && !g->spooling) {
        const std::string text = "the database " + g->db->name + " takes no records now (" +
                                 refused + "): they are kept in " + g->db->spool +
                                 " and written when it is back";
        gang_say(g, text.c_str());
    }
    g->spooling = g->spooling || spooled;
    return true;
}

// The device's record, kept on disk and in the database; false when it
// was not (a record the log would not take waits in `unwritten`), with the
// reason in `why`.
bool record(gang *g, const gang_device &d, const cli_outcome &o, std::string *why)
{
    const cli_record r = record_of(g, d, o);
    gang_ui_record(g, cli_record_json(r));
    bool kept = true;
    if (!g->opt->log.empty() &&
        !(gang_records_flush(g, true) && cli_record_append(g->opt->log, r, &g->record_why) == 0)) {
        *why = "cannot write " + g->opt->log + " (" + g->record_why + ")";
        g->unwritten.push_back(r);
        kept = false;
    }
    if (g->db && !record_db(g, r, kept ? why : &g->record_why))
        kept = false;
    g->record_lost = g->record_lost || !kept;
    return kept;
}

bool is(const cli_outcome &o, const char *result) { return std::strcmp(o.result, result) == 0; }

// A device's run is over: its record first, then its line and the counts.
// A port another program held was never touched: it is not counted.
void conclude(gang *g, const gang_device &d, const cli_outcome &o, bool touched = true)
{
    std::string why;
    const bool kept = record(g, d, o, &why);
    if (is(o, "in-use"))
        ++g->in_use;
    else if (!touched)
        ++g->not_started;
    else {
        ++g->programmed;
        ++(o.exit == CLI_EXIT_DONE && kept ? g->ok : g->failed);
    }
    g->interrupted = g->interrupted || is(o, "interrupted");
    // The most serious status wins: 3 (the device failed) before 1 (no port).
    if (o.exit == CLI_EXIT_SILENT || (o.exit != CLI_EXIT_DONE && g->worst != CLI_EXIT_SILENT))
        g->worst = o.exit;
    gang_ui_end(g, d, o, kept ? nullptr : why.c_str());
    gang_report(g, d, o, kept ? nullptr : why.c_str());
}

// The station asks again for a port another program holds, for a while;
// true while it does, false once it is time to report it.
bool wait_for_release(gang *g, const gang_device &d, const cli_outcome &o)
{
    if (!g->station || d.killed || !is(o, "in-use")) {
        g->busy.erase(d.port); // let go: the port is served like any other
        return false;
    }
    const uint32_t now = platform_tick_ms();
    gang_busy &b = g->busy.try_emplace(d.port, gang_busy{now, 0, false}).first->second;
    b.next_ms = now + GANG_BUSY_EVERY_MS;
    b.reported = now - b.first_ms >= GANG_BUSY_FOR_MS;
    return !b.reported;
}

// A child's output has ended: its status, then the run's conclusion.
void finalize(gang *g, gang_device *d)
{
    d->reader.join();
    const int status = proc_wait(d->child);
    proc_free(d->child);
    const cli_outcome o = outcome_of(*d, status);
    if (!wait_for_release(g, *d, o))
        conclude(g, *d, o);
    g->running.remove_if([d](const gang_device &x) { return &x == d; });
}

void take(gang *g, gang_message &m)
{
    gang_device *d = m.device;
    if (m.closed) {
        finalize(g, d);
    } else if (m.line.kind == CHILD_END) {
        d->ended = true;
        d->end = m.line.end;
    } else {
        m.line.event.text = m.line.text; // the line was copied since it was parsed
        cli_watch_event(&d->watch, &m.line.event, platform_tick_ms());
    }
}

// A child asked to stop that is still running after the grace time is ended.
void end_stragglers(gang *g)
{
    const uint32_t now = platform_tick_ms();
    for (gang_device &d : g->running)
        if (d.killed && d.stop_ms && now - d.stop_ms >= GANG_STOP_GRACE_MS) {
            proc_kill(d.child);
            d.stop_ms = 0;
        }
}

} // namespace

void gang_init(gang *g, const cli_options &opt, const cli_image &image, const serial_plan &plan,
               cli_db *db)
{
    g->opt = &opt;
    g->image = &image;
    g->plan = &plan;
    g->db = db;
    char path[1024];
    g->self = proc_self_path(path, sizeof path) ? path : "zmk-cli";
    g->host = cli_station_name(opt);
    g->tty = platform_stdout_is_terminal();
    g->live = !opt.quiet && platform_stdout_enable_ansi();
}

bool gang_start(gang *g, const std::string &port, const port_info *usb, const cli_claim &claim)
{
    g->running.emplace_back();
    gang_device *d = &g->running.back();
    d->port = port;
    d->run = claim.run;
    d->claimed = g->plan->given;
    d->claim = claim;
    if (usb)
        d->usb = *usb;
    else
        port_identify(port.c_str(), &d->usb);
    d->start = std::time(nullptr);
    d->start_ms = platform_tick_ms();
    cli_watch_init(&d->watch, d->start_ms, d->claimed ? int64_t(g->plan->at) : -1);
    const std::vector<std::string> args = child_args(g, *d);
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    d->child = proc_spawn(argv.data());
    if (!d->child) {
        conclude(g, *d,
                 cli_outcome{CLI_EXIT_SILENT, "crashed", "the run could not be started", 0, 0, 0});
        g->running.pop_back();
        return false;
    }
    d->reader = std::thread(read_child, g, d);
    return true;
}

namespace {

// Said once when no number can be had, and once when it can again.
void claim_refused(gang *g, store_status s, const std::string &why)
{
    std::string text;
    if (s == STORE_EXHAUSTED) {
        g->serial_out = true;
        text = "the serial numbers of pool '" + g->plan->pool +
               "' are used up: no new device is started";
    } else if (!g->serial_away) {
        text = "no serial number can be reserved from " + g->db->name + " (" + why +
               "): no new device is started until one can be (tried every second)";
    }
    if (!text.empty())
        gang_say(g, text.c_str());
    g->serial_away = s != STORE_EXHAUSTED;
    g->serial_retry_ms = platform_tick_ms() + 1000;
}

// Records the database took again after the spool held them, said once.
void catch_up(gang *g)
{
    if (g->db && cli_db_flush(g->db) && g->spooling) {
        const std::string text =
            "the database " + g->db->name + " takes records again: the spooled ones are written";
        gang_say(g, text.c_str());
        g->spooling = false;
    }
}

} // namespace

bool gang_claim(gang *g, const std::string &port, const port_info *usb, cli_claim *out)
{
    *out = cli_claim{};
    out->run = cli_run_name(g->host);
    if (!g->plan->given)
        return true;
    if (g->serial_out || (g->serial_away && int32_t(platform_tick_ms() - g->serial_retry_ms) < 0))
        return false;
    port_info info{};
    if (usb)
        info = *usb;
    else
        port_identify(port.c_str(), &info);
    std::string why;
    const store_status s = cli_db_reserve(g->db, out->run, port, info, out, &why);
    if (s != STORE_OK) {
        claim_refused(g, s, why);
        return false;
    }
    if (g->serial_away) {
        const std::string text =
            "serial numbers are reserved from " + g->db->name + " again: devices are started";
        gang_say(g, text.c_str());
    }
    g->serial_away = false;
    return true;
}

void gang_pump(gang *g, int ms)
{
    catch_up(g);
    std::deque<gang_message> batch;
    {
        std::unique_lock<std::mutex> hold(g->lock);
        g->wake.wait_for(hold, std::chrono::milliseconds(ms), [g] { return !g->inbox.empty(); });
        batch.swap(g->inbox);
    }
    for (gang_message &m : batch)
        take(g, m);
    end_stragglers(g);
    gang_draw(g);
    gang_ui_update(g);
}

void gang_not_started(gang *g, const std::string &port, const char *why)
{
    gang_device d;
    d.port = port;
    d.run = cli_run_name(g->host);
    port_identify(port.c_str(), &d.usb);
    d.start = std::time(nullptr);
    d.start_ms = platform_tick_ms();
    cli_outcome o{CLI_EXIT_SILENT, "interrupted", "", 0, 0, 0};
    std::snprintf(o.message, sizeof o.message, "not started: %s", why);
    conclude(g, d, o, false);
}

void gang_kill_all(gang *g)
{
    const uint32_t now = platform_tick_ms();
    for (gang_device &d : g->running) {
        d.killed = true;
        d.stop_ms = now ? now : 1;
        proc_stop(d.child);
    }
}

bool gang_records_flush(gang *g, bool now)
{
    const uint32_t t = platform_tick_ms();
    if (g->unwritten.empty() || (!now && int32_t(t - g->record_retry_ms) < 0))
        return g->unwritten.empty();
    g->record_retry_ms = t + 1000;
    while (!g->unwritten.empty() &&
           cli_record_append(g->opt->log, g->unwritten.front(), &g->record_why) == 0)
        g->unwritten.pop_front();
    return g->unwritten.empty();
}

int gang_status(const gang *g)
{
    if (g->record_lost)
        return CLI_EXIT_RECORD;
    if (g->interrupted && proc_stop_status() > 0)
        return proc_stop_status();
    return g->worst;
}

bool gang_busy_due(const gang *g, const std::string &port, uint32_t now)
{
    const auto it = g->busy.find(port);
    return it != g->busy.end() && !it->second.reported && int32_t(now - it->second.next_ms) >= 0;
}
