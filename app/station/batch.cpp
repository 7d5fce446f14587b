// Many devices at once: the children, their messages, and each device's end
// handed to the keeper before its line is shown.
#include "app/station/batch.h"
#include "app/station/bays.h"

#include "app/run/advice.h"
#include "app/station/page_feed.h"
#include "app/station/view.h"
#include "platform/terminal.h"
#include "platform/tick.h"

#include <algorithm>
#include <filesystem>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void deliver(batch *g, const batch_message &m)
{
    {
        std::lock_guard<std::mutex> hold(g->lock);
        g->inbox.push_back(m);
    }
    g->wake.notify_one();
}

// Splits the child's output into lines and passes on the protocol's.
void read_child(batch *g, batch_device *d)
{
    std::string pending;
    char chunk[512];
    for (int n; (n = proc_read(d->child, chunk, sizeof chunk)) > 0;) {
        pending.append(chunk, size_t(n));
        for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
            batch_message m{d, false, {}};
            pending[eol] = 0;
            // A Windows child's standard output ends its lines with CR LF.
            if (eol > 0 && pending[eol - 1] == '\r')
                pending[eol - 1] = 0;
            if (child_parse(pending.c_str(), &m.line) != CHILD_NONE)
                deliver(g, m);
            pending.erase(0, eol + 1);
        }
    }
    deliver(g, batch_message{d, true, {}});
}

std::vector<std::string> child_args(const batch *g, const batch_device &d)
{
    char timeout[32], erase[32];
    std::snprintf(timeout, sizeof timeout, "%g", g->set->run.timeout_s);
    std::snprintf(erase, sizeof erase, "%g", g->set->run.erase_timeout_s);
    std::vector<std::string> args{g->device_program, "--timeout", timeout, "--erase-timeout",
                                  erase};
    if (!g->set->image_path.empty())
        args.insert(args.end(), {"--image", g->set->image_path});
    if (d.claimed)
        args.insert(args.end(),
                    {"--serial-put", std::to_string(g->serials->plan->at) + ":" +
                                         serial_hex(d.claim.bytes.data(), d.claim.bytes.size())});
    args.push_back(d.port);
    return args;
}

// What a finished child's run came to.
run_end end_of(const batch_device &d, int status)
{
    const int stop = proc_stop_status() > 0 ? proc_stop_status() : 130;
    run_end e;
    if (d.ended) {
        e = d.end;
        if (d.killed && e.result == RUN_INTERRUPTED)
            e.exit = stop; // the parent's request, not the signal it passed on
    } else if (d.killed) {
        e = run_end_make(stop, RUN_INTERRUPTED, "");
        run_format_stopped(&d.watch, e.message, sizeof e.message);
    } else {
        char text[64];
        std::snprintf(text, sizeof text, "the run ended abnormally (status %d)", status);
        e = run_end_make(RUN_EXIT_SILENT, RUN_CRASHED, text);
    }
    if (!d.ended) {
        e.exchanges = d.watch.exchanges;
        e.repeats = d.watch.repeats;
    }
    e.seconds = (platform_tick_ms() - d.start_ms) / 1000.0;
    return e;
}

record record_of(const batch *g, const batch_device &d, const run_end &e)
{
    record_facts f;
    f.start = d.start;
    f.host = g->set->host;
    f.port = d.port;
    f.usb = d.usb;
    f.run = d.claim.run;
    f.image_name = g->image->name;
    f.image_size = g->image->size;
    f.image_crc32 = g->image->crc32;
    f.image_sha256 = g->image->sha256;
    f.job = g->set->job;
    f.end = e;
    if (d.claimed) {
        f.written_crc32 = run_image_written_crc32(*g->image, g->serials->plan->at, d.claim.bytes);
        f.serial_pool = g->serials->plan->pool;
        f.serial_at = g->serials->plan->at;
        f.serial_format = g->serials->plan->format_name;
        f.serial_value = d.claim.value;
        f.serial_bytes = serial_hex(d.claim.bytes.data(), d.claim.bytes.size());
        f.serial_state = ledger_state(e.exit == RUN_EXIT_DONE, d.watch.serial_sent);
    } else {
        f.written_crc32 = run_image_written_crc32(*g->image);
    }
    return record_make(f);
}

// The device's record, handed to the keeper; the database's spool is said
// once each way.
keeper_kept keep(batch *g, const record &r)
{
    const keeper_kept k = keeper_keep(g->records, r);
    if (k.spooled && !g->spooling) {
        const std::string text = "the database " + g->records->db_name + " takes no records now (" +
                                 g->records->db_why + "): they are kept in " + g->records->spool +
                                 " and written when it is back";
        view_say(g, text.c_str());
    }
    g->spooling = g->spooling || k.spooled;
    return k;
}

// The most serious status wins: 3 (the device failed) before 1 (no port).
void raise_worst(batch *g, int exit)
{
    if (exit == RUN_EXIT_SILENT || (exit != RUN_EXIT_DONE && g->worst != RUN_EXIT_SILENT))
        g->worst = exit;
}

// A device's end in its bay: a bay held after it is said and audited. The
// bays' insertions go to the database as the records do, never while it is
// away.
void bay_end(batch *g, const batch_device &d, const run_end &e)
{
    std::string bay[2];
    const std::string held =
        bays_end(g->health, d.port, d.usb, e.exit == RUN_EXIT_DONE,
                 e.exit != RUN_EXIT_DONE && e.result != RUN_INTERRUPTED, e.message, bay);
    if (!held.empty()) {
        view_say(g, held.c_str());
        batch_audit(g, "bay held", bay[0], "", bay[1]);
    }
    if (!keeper_db_waits(g->records))
        bays_save(g->health);
}

constexpr int TOUCHED = -1;

// A device's run is over: its record first, then its line and the counts.
// A port another program held was never touched: it is not counted. A port
// left out (`left_out` is not TOUCHED) counts as not started and makes the
// end status at least `left_out`; RUN_EXIT_DONE: a request to stop left it out.
void conclude(batch *g, const batch_device &d, const run_end &e, int left_out = TOUCHED)
{
    const record r = record_of(g, d, e);
    const keeper_kept k = keep(g, r);
    page_feed_record(g->page, r.json); // after the log and the database had it
    if (e.result == RUN_IN_USE) {
        ++g->in_use;
        raise_worst(g, e.exit);
    } else if (left_out != TOUCHED) {
        ++g->not_started;
        g->interrupted = g->interrupted || left_out == RUN_EXIT_DONE;
        raise_worst(g, left_out);
    } else {
        ++g->programmed;
        ++(e.exit == RUN_EXIT_DONE && k.kept ? g->ok : g->failed);
        g->interrupted = g->interrupted || e.result == RUN_INTERRUPTED;
        raise_worst(g, e.exit);
        bay_end(g, d, e);
    }
    g->record_lost = g->record_lost || !k.kept;
    const char *why = k.kept ? nullptr : k.why.c_str();
    page_feed_end(g->page, g, d, e, why);
    view_report(g, d, e, why);
}

// The station asks again for a port another program holds, for a while;
// true while it does, false once it is time to report it.
bool wait_for_release(batch *g, const batch_device &d, const run_end &e)
{
    if (!g->set->station || d.killed || e.result != RUN_IN_USE) {
        g->busy.erase(d.port); // let go: the port is served like any other
        return false;
    }
    const uint32_t now = platform_tick_ms();
    batch_busy &b = g->busy.try_emplace(d.port, batch_busy{now, 0, false}).first->second;
    b.next_ms = now + BATCH_BUSY_EVERY_MS;
    b.reported = now - b.first_ms >= BATCH_BUSY_FOR_MS;
    // The device keeps its number (and its run's name) for the next try.
    b.claimed = d.claimed && !b.reported;
    b.claim = d.claim;
    return !b.reported;
}

// A child's output has ended: its status, then the run's conclusion.
void finalize(batch *g, batch_device *d)
{
    d->reader.join();
    const int status = proc_wait(d->child);
    proc_free(d->child);
    const run_end e = end_of(*d, status);
    if (!wait_for_release(g, *d, e))
        conclude(g, *d, e);
    g->running.remove_if([d](const batch_device &x) { return &x == d; });
}

void take_message(batch *g, batch_message &m)
{
    batch_device *d = m.device;
    if (m.closed) {
        finalize(g, d);
    } else if (m.line.kind == CHILD_END) {
        d->ended = true;
        d->end = m.line.end;
    } else if (m.line.kind == CHILD_LATENCY) {
        // Once per port for the station's life: each run of it would say the same.
        if (g->latency_said.insert(d->port).second) {
            char text[768];
            cli_latency_warning(d->port.c_str(), m.line.latency_ms, m.line.text, text, sizeof text);
            view_say(g, text);
        }
    } else {
        m.line.event.text = m.line.text; // the line was copied since it was parsed
        run_watch_event(&d->watch, &m.line.event, platform_tick_ms());
    }
}

// A child asked to stop that is still running after the grace time is ended.
void end_stragglers(batch *g)
{
    const uint32_t now = platform_tick_ms();
    for (batch_device &d : g->running)
        if (d.killed && d.stop_ms && now - d.stop_ms >= BATCH_STOP_GRACE_MS) {
            proc_kill(d.child);
            d.stop_ms = 0;
        }
}

// zmk-device: beside this program (the build tree, Windows), else where
// the package keeps it.
std::string device_program_path()
{
    char self[1024];
    if (!proc_self_path(self, sizeof self))
        return "zmk-device";
    const std::filesystem::path me(self);
    const std::string name = me.extension() == ".exe" ? "zmk-device.exe" : "zmk-device";
    std::error_code ec;
    const std::filesystem::path beside = me.parent_path() / name;
    if (std::filesystem::exists(beside, ec))
        return beside.string();
    return (me.parent_path().parent_path() / "libexec" / "zmk" / name).string();
}

} // namespace

void batch_init(batch *g, const batch_settings &set, const run_image &image, ledger *serials,
                keeper *records)
{
    g->set = &set;
    g->image = &image;
    g->serials = serials;
    g->records = records;
    g->device_program = device_program_path();
    g->tty = platform_stdout_is_terminal();
    g->live = !set.run.quiet && platform_stdout_enable_ansi();
}

bool batch_start(batch *g, const std::string &port, const port_info *usb, const ledger_claim &claim,
                 bool claimed)
{
    g->running.emplace_back();
    batch_device *d = &g->running.back();
    d->port = port;
    d->claimed = claimed;
    d->claim = claim;
    if (usb)
        d->usb = *usb;
    else
        port_identify(port.c_str(), &d->usb);
    d->start = std::time(nullptr);
    d->start_ms = platform_tick_ms();
    run_watch_init(&d->watch, d->start_ms, claimed ? int64_t(g->serials->plan->at) : -1);
    const std::vector<std::string> args = child_args(g, *d);
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    d->child = proc_spawn(argv.data());
    if (!d->child) {
        conclude(g, *d, run_end_make(RUN_EXIT_SILENT, RUN_CRASHED, "the run could not be started"));
        g->running.pop_back();
        return false;
    }
    d->reader = std::thread(read_child, g, d);
    return true;
}

namespace {

// Said once when no number can be had, and once when it can again. A try
// refused `asked` on; the refusals run from the first one's start.
void claim_refused(batch *g, line_status s, const std::string &why, uint32_t asked)
{
    std::string text;
    if (s == LINE_EXHAUSTED) {
        g->serial_out = true;
        text = "the serial numbers of pool '" + g->serials->plan->pool +
               "' are used up: no new device is started";
    } else if (!g->serial_away) {
        g->serial_away_ms = asked;
        text = "no serial number can be reserved from " + g->serials->name + " (" + why + "): " +
               (g->set->station ? "devices plugged in are not started until one can be"
                                : "no new device is started until one can be (tried every "
                                  "second)");
    }
    if (!text.empty())
        view_say(g, (g->halt.serial = text).c_str());
    const uint32_t now = platform_tick_ms();
    g->serial_away = s != LINE_EXHAUSTED;
    g->serial_why = why;
    g->serial_stuck = g->serial_away && now - g->serial_away_ms >= BATCH_RESERVE_GIVE_UP_MS;
    g->serial_retry_ms = now + 1000;
}

// Records the database took again after the spool held them, said once.
void catch_up(batch *g)
{
    if (g->serials)
        ledger_tick(g->serials);
    if (keeper_flush(g->records) || !keeper_db_waits(g->records)) {
        if (g->spooling) {
            const std::string text = "the database " + g->records->db_name +
                                     " takes records again: the spooled ones are written";
            view_say(g, text.c_str());
        }
        g->spooling = false;
    }
}

} // namespace

bool batch_claim(batch *g, const std::string &port, const port_info *usb, ledger_claim *out,
                 bool *claimed, bool now)
{
    *out = ledger_claim{};
    *claimed = false;
    const auto held = g->busy.find(port);
    if (held != g->busy.end() && held->second.claimed) {
        *out = held->second.claim; // its own number again, across the retries
        *claimed = true;
        return true;
    }
    out->run = record_run_name(g->set->host);
    if (!g->serials)
        return true;
    if (g->serial_out ||
        (g->serial_away && !now && int32_t(platform_tick_ms() - g->serial_retry_ms) < 0))
        return false;
    port_info info{};
    if (usb)
        info = *usb;
    else
        port_identify(port.c_str(), &info);
    std::string why;
    const uint32_t asked = platform_tick_ms();
    const line_status s = ledger_reserve(g->serials, out->run, port, info, out, &why);
    if (s != LINE_OK) {
        claim_refused(g, s, why, asked);
        return false;
    }
    if (g->serial_away) {
        const std::string text =
            "serial numbers are reserved from " + g->serials->name + " again: devices are started";
        view_say(g, text.c_str());
    }
    g->serial_away = g->serial_stuck = false;
    g->halt.serial.clear();
    *claimed = true;
    return true;
}

std::string batch_no_serial_why(const batch *g)
{
    if (g->serial_out)
        return "no serial number is left to write into it";
    return "no serial number can be reserved from " + g->serials->name + " (" + g->serial_why + ")";
}

void batch_pump(batch *g, int ms)
{
    catch_up(g);
    std::deque<batch_message> inbox;
    {
        std::unique_lock<std::mutex> hold(g->lock);
        g->wake.wait_for(hold, std::chrono::milliseconds(ms), [g] { return !g->inbox.empty(); });
        inbox.swap(g->inbox);
    }
    for (batch_message &m : inbox)
        take_message(g, m);
    end_stragglers(g);
    view_draw(g);
    page_feed_update(g->page, g);
}

void batch_not_started(batch *g, const std::string &port, const char *why, int status)
{
    batch_device d;
    d.port = port;
    d.claim.run = record_run_name(g->set->host);
    port_identify(port.c_str(), &d.usb);
    d.start = std::time(nullptr);
    d.start_ms = platform_tick_ms();
    run_end e = run_end_make(RUN_EXIT_SILENT, RUN_INTERRUPTED, "");
    std::snprintf(e.message, sizeof e.message, "not started: %s", why);
    conclude(g, d, e, status);
}

void batch_release_busy(batch *g, const std::string &port)
{
    const auto it = g->busy.find(port);
    if (it == g->busy.end())
        return;
    if (it->second.claimed) { // its number goes back, with a record saying why
        batch_device d;
        d.port = port;
        d.claimed = true;
        d.claim = it->second.claim;
        port_identify(port.c_str(), &d.usb);
        d.start = std::time(nullptr);
        d.start_ms = it->second.first_ms;
        conclude(g, d,
                 run_end_make(RUN_EXIT_PORT, RUN_IN_USE,
                              (port + " was held by another program until it went away").c_str()));
    }
    g->busy.erase(it);
}

void batch_kill_all(batch *g)
{
    const uint32_t now = platform_tick_ms();
    for (batch_device &d : g->running) {
        d.killed = true;
        d.stop_ms = now ? now : 1;
        proc_stop(d.child);
    }
}

void batch_audit(batch *g, const std::string &event, const std::string &slot,
                 const std::string &viewer, const std::string &detail)
{
    keeper_audit(g->records, audit_make(g->set->host, event, slot, viewer, detail));
}

int batch_status(const batch *g)
{
    if (g->record_lost)
        return RUN_EXIT_RECORD;
    if (g->interrupted && proc_stop_status() > 0)
        return proc_stop_status();
    return g->worst;
}

bool batch_busy_due(const batch *g, const std::string &port, uint32_t now)
{
    const auto it = g->busy.find(port);
    return it != g->busy.end() && !it->second.reported && int32_t(now - it->second.next_ms) >= 0;
}
