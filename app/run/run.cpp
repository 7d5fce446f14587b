// One run: the engine's events rendered, how the run ended as the engine
// judged it or a request to stop cut it short.
#include "app/run/run.h"

#include "app/run/advice.h"
#include "app/run/child.h"
#include "app/zmk.h"
#include "layers/ser.h"
#include "platform/latency.h"
#include "platform/port_error.h"
#include "platform/process.h"
#include "platform/syserror.h"
#include "platform/terminal.h"
#include "platform/tick.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

struct run_state {
    const run_options *opt;
    run_watch *watch;
    zmk_verdict failed; // the engine's verdict when the run failed
    char failed_text[256];
    bool live;
    bool line_open; // a live line is on screen without its line end
    uint32_t drawn_ms, drawn_state;
    uint32_t started_ms;
};

run_state run;

void print(FILE *f, const char *text)
{
    std::fputs(text, f);
    std::fflush(f);
}

void end_live_line()
{
    if (run.line_open)
        print(stdout, "\n");
    run.line_open = false;
}

// Redrawn on every phase change, else at most ten times a second; padded
// rather than cleared with an escape sequence, which not every Windows
// console understands.
void draw_live(uint32_t now, bool force, const char *suffix)
{
    if (!force && run.line_open && run.watch->last.state == run.drawn_state &&
        now - run.drawn_ms < 100)
        return;
    char line[160];
    int n = run_format_live(run.watch, now, line, sizeof line);
    std::snprintf(line + n, sizeof line - size_t(n), "%s", suffix);
    std::printf("\r%-72s", line);
    std::fflush(stdout);
    run.drawn_ms = now;
    run.drawn_state = run.watch->last.state;
    run.line_open = true;
}

void on_event(void *, const zmk_event *e)
{
    const uint32_t now = platform_tick_ms();
    run_watch_event(run.watch, e, now);
    if (e->kind == ZMK_FAILED) {
        run.failed = e->verdict;
        std::snprintf(run.failed_text, sizeof run.failed_text, "%s", e->text);
    }
    if (run.opt->child && e->kind != ZMK_DONE && e->kind != ZMK_FAILED) {
        char line[256];
        child_format_event(e, line, sizeof line);
        print(stdout, line);
    } else if ((e->kind == ZMK_SENT || e->kind == ZMK_WAITING) && run.live) {
        draw_live(now, e->kind == ZMK_WAITING, "");
    } else if (e->kind == ZMK_SENT && !run.opt->quiet) {
        print(stdout, e->text);
    }
}

void on_console(const char *text)
{
    if (!run.opt->quiet && !run.opt->child)
        print(stdout, text);
}

// The run is over: the port's settings from before the run, then its end.
run_end finish(int exit, run_result result, const char *message)
{
    std::fflush(stdout);
    (void)ser_restore(flasher.handle);
    run_end end = run_end_make(exit, result, message);
    end.exchanges = run.watch->exchanges;
    end.repeats = run.watch->repeats;
    end.seconds = (platform_tick_ms() - run.started_ms) / 1000.0;
    end.reply_ms = reply_times_median_ms(&flasher.replies);
    return end;
}

const char *reason_text(port_error_kind kind)
{
    switch (kind) {
    case PORT_ERR_MISSING: return "no such port";
    case PORT_ERR_IN_USE: return "in use by another program";
    case PORT_ERR_PERMISSION: return "permission denied";
    case PORT_ERR_NOT_A_PORT: return "not a serial port";
    default: return "the system refused it";
    }
}

run_result open_failure_result(port_error_kind kind)
{
    switch (kind) {
    case PORT_ERR_IN_USE: return RUN_IN_USE;
    case PORT_ERR_PERMISSION: return RUN_PERMISSION;
    case PORT_ERR_NOT_A_PORT: return RUN_NOT_A_PORT;
    default: return RUN_NO_PORT;
    }
}

// "/dev/ttyUSB0 is in use by another program: pid 1234 (cat)", or "cannot
// open notes.txt: not a serial port (Inappropriate ioctl for device)".
std::string describe_open_failure(port_error_kind kind, uint32_t code)
{
    const std::string &port = run.opt->port;
    char why[400] = "";
    if (kind == PORT_ERR_IN_USE) {
        std::string text = port + " is in use by another program";
        if (port_holders(port.c_str(), why, sizeof why) > 0)
            text += std::string(": ") + why;
        return text;
    }
    platform_error_text(code, why, sizeof why);
    for (size_t n = std::strlen(why); n > 0 && std::strchr("\r\n. ", why[n - 1]);)
        why[--n] = 0;
    std::string text = "cannot open " + port + ": " + reason_text(kind);
    return why[0] ? text + " (" + why + ")" : text;
}

// A port that does not open: one precise line and what to do about it. The
// dialogs show their designed box instead.
run_end open_failed(int code_kind)
{
    const uint32_t code = platform_last_error();
    const auto kind = port_error_kind(code_kind);
    std::string text = describe_open_failure(kind, code);
    std::fprintf(stderr, "zmk-cli: %s\n", text.c_str());
    char advice[400];
    cli_open_advice(kind, run.opt->port.c_str(), advice, sizeof advice);
    // A batch's parent adds its own next step for a held port.
    if (advice[0] && !(run.opt->child && kind == PORT_ERR_IN_USE)) {
        if (run.opt->child) // the parent's line for the device ends with it
            text += std::string("; ") + advice;
        else
            std::fprintf(stderr, "zmk-cli: %s\n", advice);
    }
    return finish(RUN_EXIT_PORT, open_failure_result(kind), text.c_str());
}

// An adapter whose timer the port's opening could not lower makes every
// exchange wait: said once, as the run starts (a child tells its parent, which
// says it once per port).
void say_latency()
{
    port_latency l;
    if (!port_latency_read(run.opt->port.c_str(), &l) || l.ms <= 1)
        return;
    char line[768];
    if (run.opt->child) {
        child_format_latency(l.ms, l.path, line, sizeof line);
        print(stdout, line);
        return;
    }
    cli_latency_warning(run.opt->port.c_str(), l.ms, l.path, line, sizeof line);
    std::fprintf(stderr, "zmk-cli: %s\n", line);
}

void install_frontend(const run_options &opt, run_watch *watch)
{
    run = run_state{};
    run.opt = &opt;
    run.watch = watch;
    run.live = !opt.quiet && !opt.child && platform_stdout_is_terminal();
    static zmk_frontend fe{};
    fe.tone = [](uint32_t, uint32_t) {};
    fe.status = [](const char *) { return 1; };
    fe.console = on_console;
    fe.event = on_event;
    frontend_set(&fe);
}

// A request to stop came: the run ends between two steps, saying where.
run_end stop_here()
{
    end_live_line();
    char why[256];
    run_format_stopped(run.watch, why, sizeof why);
    if (!run.opt->child)
        std::fprintf(stderr, "zmk-cli: %s\n", why);
    const int status = proc_stop_status();
    return finish(status > 0 ? status : 130, RUN_INTERRUPTED, why);
}

// Steps the run to its end: the device programmed, the engine's verdict
// that it failed, or a request to stop.
run_end run_steps(const std::function<void()> &between)
{
    int ended;
    while ((ended = flasher_tick(&flasher)) == 0) {
        if (proc_interrupts() > 0)
            return stop_here();
        if (between)
            between();
    }
    end_live_line();
    if (ended < 0) {
        if (!run.opt->child)
            std::fprintf(stderr, "zmk-cli: %s\n", run.failed_text);
        return finish(RUN_EXIT_SILENT, run_result_of(run.failed), run.failed_text);
    }
    if (run.live) {
        char took[32];
        std::snprintf(took, sizeof took, "  in %.1f s",
                      (platform_tick_ms() - run.started_ms) / 1000.0);
        run.watch->last.state = LPROG_IDLE;
        draw_live(platform_tick_ms(), true, took);
        end_live_line();
    }
    return finish(RUN_EXIT_DONE, RUN_OK, "");
}

} // namespace

zmk_limits run_limits(const run_options &opt)
{
    // Beyond about 24 days the millisecond clock's wrap would read as past.
    const auto ms = [](double s) { return uint32_t(std::min(s * 1000.0, 2147483647.0)); };
    return zmk_limits{ms(opt.timeout_s), ms(opt.erase_timeout_s)};
}

run_end run_device(const run_options &opt, const run_image &image, run_watch *watch,
                   const std::function<void()> &between)
{
    install_frontend(opt, watch);
    run.started_ms = platform_tick_ms();
    const zmk_limits limits = run_limits(opt);
    if (const int why = flasher_start(&flasher, opt.port.c_str(),
                                      image.bytes.empty() ? nullptr : image.bytes.data(),
                                      uint32_t(image.bytes.size()), &limits))
        return open_failed(why);
    say_latency();
    return run_steps(between);
}
