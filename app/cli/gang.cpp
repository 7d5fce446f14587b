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

std::vector<std::string> child_args(const gang *g, const std::string &port)
{
    char timeout[32], erase[32];
    std::snprintf(timeout, sizeof timeout, "%g", g->opt->timeout_s);
    std::snprintf(erase, sizeof erase, "%g", g->opt->erase_timeout_s);
    std::vector<std::string> args{g->self, "--child",         "--timeout",
                                  timeout, "--erase-timeout", erase};
    if (!g->opt->image.empty())
        args.insert(args.end(), {"--image", g->opt->image});
    args.push_back(port);
    return args;
}

// What a finished child's run came to.
cli_outcome outcome_of(const gang_device &d, int status)
{
    cli_outcome o{};
    o.seconds = (platform_tick_ms() - d.start_ms) / 1000.0;
    o.exchanges = d.ended ? d.end.exchanges : d.watch.exchanges;
    o.repeats = d.ended ? d.end.repeats : d.watch.repeats;
    if (d.ended && !d.killed) {
        o.exit = d.end.exit;
        o.result = d.end.result[0] ? d.end.result : "ok";
        std::snprintf(o.message, sizeof o.message, "%s", d.end.message);
        return o;
    }
    o.exit = CLI_EXIT_SILENT;
    o.result = d.killed ? "interrupted" : "crashed";
    std::snprintf(o.message, sizeof o.message,
                  d.killed ? "stopped by Ctrl-C" : "the run ended abnormally (status %d)", status);
    return o;
}

void record(gang *g, const gang_device &d, const cli_outcome &o)
{
    if (g->opt->log.empty())
        return;
    const cli_record r{d.start,         g->host,  d.port, d.usb,     g->image->name, g->image->size,
                       g->image->crc32, o.result, o.exit, o.seconds, o.exchanges,    o.repeats};
    if (cli_record_append(g->opt->log, r) != 0)
        std::fprintf(stderr, "zmk-cli: cannot write the record to %s\n", g->opt->log.c_str());
}

// A device's run is over: its record first, then its line and the counts.
void conclude(gang *g, const gang_device &d, const cli_outcome &o)
{
    record(g, d, o);
    ++g->programmed;
    if (o.exit == CLI_EXIT_DONE)
        ++g->ok;
    else
        ++g->failed;
    // The most serious status wins: 3 (the device failed) before 1 (no port).
    if (o.exit == CLI_EXIT_SILENT || (o.exit != CLI_EXIT_DONE && g->worst != CLI_EXIT_SILENT))
        g->worst = o.exit;
    gang_report(g, d, o);
}

// A child's output has ended: its status, then the run's conclusion.
void finalize(gang *g, gang_device *d)
{
    d->reader.join();
    const int status = proc_wait(d->child);
    proc_free(d->child);
    conclude(g, *d, outcome_of(*d, status));
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
    } else if (m.line.event.kind == ZMK_SENT) {
        cli_watch_sent(&d->watch, &m.line.event, platform_tick_ms());
    }
}

} // namespace

void gang_init(gang *g, const cli_options &opt, const cli_image &image)
{
    g->opt = &opt;
    g->image = &image;
    char path[1024], host[128];
    g->self = proc_self_path(path, sizeof path) ? path : "zmk-cli";
    platform_host_name(host, sizeof host);
    g->host = host;
    g->tty = platform_stdout_is_terminal();
    g->live = !opt.quiet && platform_stdout_enable_ansi();
}

bool gang_start(gang *g, const std::string &port, const port_info *usb)
{
    g->running.emplace_back();
    gang_device *d = &g->running.back();
    d->port = port;
    if (usb)
        d->usb = *usb;
    else
        port_identify(port.c_str(), &d->usb);
    d->start = std::time(nullptr);
    d->start_ms = platform_tick_ms();
    cli_watch_init(&d->watch, d->start_ms);
    const std::vector<std::string> args = child_args(g, port);
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

void gang_pump(gang *g, int ms)
{
    std::deque<gang_message> batch;
    {
        std::unique_lock<std::mutex> hold(g->lock);
        g->wake.wait_for(hold, std::chrono::milliseconds(ms), [g] { return !g->inbox.empty(); });
        batch.swap(g->inbox);
    }
    for (gang_message &m : batch)
        take(g, m);
    gang_draw(g);
}

void gang_not_started(gang *g, const std::string &port)
{
    gang_device d;
    d.port = port;
    port_identify(port.c_str(), &d.usb);
    d.start = std::time(nullptr);
    d.start_ms = platform_tick_ms();
    conclude(
        g, d,
        cli_outcome{CLI_EXIT_SILENT, "interrupted", "not started: stopped by Ctrl-C", 0, 0, 0});
}

void gang_kill_all(gang *g)
{
    for (gang_device &d : g->running) {
        d.killed = true;
        proc_kill(d.child);
    }
}
