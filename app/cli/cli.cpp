// One run of zmk-cli: the engine's events rendered as the dialog's console
// lines, or as one live line on a terminal, or (for a parent that runs many
// devices) as protocol lines; how the run ended, as the engine judged it or a
// signal cut it short; and the run's record.
#include "app/cli/cli.h"

#include "app/cli/advice.h"
#include "app/cli/child.h"
#include "app/cli/record.h"
#include "app/zmk.h"
#include "layers/ser.h"
#include "platform/files.h"
#include "platform/port_error.h"
#include "platform/process.h"
#include "platform/syserror.h"
#include "platform/terminal.h"
#include "platform/tick.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct cli_run_state {
    const cli_options *opt;
    const cli_image *image;
    cli_watch watch;
    zmk_verdict failed; // the engine's verdict when the run failed
    char failed_text[256];
    bool live;
    bool line_open; // a live line is on screen without its line end
    uint32_t drawn_ms, drawn_state;
    uint32_t started_ms;
    std::time_t started;
};

cli_run_state run;

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
    if (!force && run.line_open && run.watch.last.state == run.drawn_state &&
        now - run.drawn_ms < 100)
        return;
    char line[160];
    int n = cli_format_live(&run.watch, now, line, sizeof line);
    std::snprintf(line + n, sizeof line - size_t(n), "%s", suffix);
    std::printf("\r%-72s", line);
    std::fflush(stdout);
    run.drawn_ms = now;
    run.drawn_state = run.watch.last.state;
    run.line_open = true;
}

void cli_event(void *, const zmk_event *e)
{
    const uint32_t now = platform_tick_ms();
    cli_watch_event(&run.watch, e, now);
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

void cli_console(const char *text)
{
    if (!run.opt->quiet && !run.opt->child)
        print(stdout, text);
}

// The record of a single run; false, with the reason told, when it could not
// be kept.
bool keep_record(int exit, const char *result, const char *message)
{
    cli_record r{run.started,
                 "",
                 run.opt->port,
                 {},
                 run.image->name,
                 run.image->size,
                 run.image->crc32,
                 result,
                 exit,
                 message,
                 (platform_tick_ms() - run.started_ms) / 1000.0,
                 run.watch.exchanges,
                 run.watch.repeats};
    char host[128];
    platform_host_name(host, sizeof host);
    r.host = host;
    port_identify(run.opt->port.c_str(), &r.usb);
    std::string why;
    if (cli_record_append(run.opt->log, r, &why) == 0)
        return true;
    std::fprintf(stderr, "zmk-cli: %s%s, but its record was not kept: cannot write %s (%s)\n",
                 run.opt->port.c_str(), exit == CLI_EXIT_DONE ? " was programmed" : " failed",
                 run.opt->log.c_str(), why.c_str());
    return false;
}

// The run is over: its record, or its end line to the parent.
[[noreturn]] void finish(int exit, const char *result, const char *message)
{
    std::fflush(stdout);
    (void)ser_restore(flasher.handle); // the port's settings from before the run
    child_end end{exit, "", run.watch.exchanges, run.watch.repeats, ""};
    std::snprintf(end.result, sizeof end.result, "%s", result);
    std::snprintf(end.message, sizeof end.message, "%s", message);
    if (run.opt->child) {
        char line[400];
        child_format_end(&end, line, sizeof line);
        print(stdout, line);
    } else if (!run.opt->log.empty() && !keep_record(exit, result, message)) {
        exit = CLI_EXIT_RECORD;
    }
    std::exit(exit);
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

const char *open_failure_word(port_error_kind kind)
{
    switch (kind) {
    case PORT_ERR_IN_USE: return "in-use";
    case PORT_ERR_PERMISSION: return "permission";
    case PORT_ERR_NOT_A_PORT: return "not-a-port";
    default: return "no-port";
    }
}

port_error_kind open_failure;
std::string open_failure_text;

// "/dev/ttyUSB0 is in use by another program: pid 1234 (cat)", or "cannot
// open notes.txt: not a serial port (Inappropriate ioctl for device)".
void describe_open_failure(uint32_t code)
{
    const std::string port = run.opt->port;
    char why[400] = "";
    if (open_failure == PORT_ERR_IN_USE) {
        open_failure_text = port + " is in use by another program";
        if (port_holders(port.c_str(), why, sizeof why) > 0)
            open_failure_text += std::string(": ") + why;
        return;
    }
    platform_error_text(code, why, sizeof why);
    for (size_t n = std::strlen(why); n > 0 && std::strchr("\r\n. ", why[n - 1]);)
        why[--n] = 0;
    open_failure_text = "cannot open " + port + ": " + reason_text(open_failure);
    if (why[0])
        open_failure_text += std::string(" (") + why + ")";
}

// A port that does not open: one precise line and what to do about it. The
// dialogs show their designed box instead.
[[noreturn]] void open_failed(int kind)
{
    const uint32_t code = platform_last_error();
    open_failure = port_error_kind(kind);
    describe_open_failure(code);
    std::fprintf(stderr, "zmk-cli: %s\n", open_failure_text.c_str());
    char advice[400];
    cli_open_advice(open_failure, run.opt->port.c_str(), advice, sizeof advice);
    // A batch's parent adds its own next step for a held port.
    if (advice[0] && !(run.opt->child && open_failure == PORT_ERR_IN_USE)) {
        if (run.opt->child) // the parent's line for the device ends with it
            open_failure_text += std::string("; ") + advice;
        else
            std::fprintf(stderr, "zmk-cli: %s\n", advice);
    }
    finish(CLI_EXIT_PORT, open_failure_word(open_failure), open_failure_text.c_str());
}

void install_frontend(const cli_options &opt, const cli_image &image)
{
    run = cli_run_state{};
    run.opt = &opt;
    run.image = &image;
    run.live = !opt.quiet && !opt.child && platform_stdout_is_terminal();
    static zmk_frontend fe{};
    fe.tone = [](uint32_t, uint32_t) {};
    fe.status = [](const char *) { return 1; };
    fe.console = cli_console;
    fe.event = cli_event;
    frontend_set(&fe);
}

// A request to stop came: the run ends between two steps, saying where.
[[noreturn]] void stop_here()
{
    end_live_line();
    char why[256];
    cli_format_stopped(&run.watch, why, sizeof why);
    if (!run.opt->child)
        std::fprintf(stderr, "zmk-cli: %s\n", why);
    const int status = proc_stop_status();
    finish(status > 0 ? status : 130, "interrupted", why);
}

// Steps the run to its end: the device programmed, the engine's verdict
// that it failed, or a request to stop.
[[noreturn]] void run_steps()
{
    int ended;
    while ((ended = flasher_tick(&flasher)) == 0)
        if (proc_interrupts() > 0)
            stop_here();
    end_live_line();
    if (ended < 0) {
        if (!run.opt->child)
            std::fprintf(stderr, "zmk-cli: %s\n", run.failed_text);
        finish(CLI_EXIT_SILENT, cli_verdict_word(run.failed), run.failed_text);
    }
    if (run.live) {
        char took[32];
        std::snprintf(took, sizeof took, "  in %.1f s",
                      (platform_tick_ms() - run.started_ms) / 1000.0);
        run.watch.last.state = LPROG_IDLE;
        draw_live(platform_tick_ms(), true, took);
        end_live_line();
    }
    finish(CLI_EXIT_DONE, "ok", "");
}

// Records that cannot be kept are found out before any device is touched.
int check_log(const cli_options &opt)
{
    std::string why;
    if (opt.log.empty() || opt.child || cli_record_check(opt.log, &why) == 0)
        return 0;
    std::fprintf(stderr, "zmk-cli: cannot open the log %s: %s; no device was touched\n",
                 opt.log.c_str(), why.c_str());
    return CLI_EXIT_PORT;
}

} // namespace

const char *cli_verdict_word(zmk_verdict v)
{
    switch (v) {
    case ZMK_SILENT: return "silent";
    case ZMK_REFUSED: return "refused";
    case ZMK_ERASE_TIMEOUT: return "erase-timeout";
    case ZMK_DISCONNECTED: return "disconnected";
    default: return "ok";
    }
}

int cli_run(const cli_options &opt)
{
    if (opt.list)
        return cli_list_ports(opt);
    static cli_image image;
    if (cli_load_image(opt, &image) != 0)
        return CLI_EXIT_USAGE;
    if (const int rc = check_log(opt))
        return rc;
    if (opt.station || opt.ports.size() > 1)
        return cli_gang(opt, image);
    proc_catch_interrupts(!opt.child);
    install_frontend(opt, image);
    run.started_ms = platform_tick_ms();
    run.started = std::time(nullptr);
    cli_watch_init(&run.watch, run.started_ms);
    const zmk_limits limits = cli_limits(opt);
    if (const int why = flasher_start(&flasher, opt.port.c_str(),
                                      image.bytes.empty() ? nullptr : image.bytes.data(),
                                      uint32_t(image.bytes.size()), &limits))
        open_failed(why);
    run_steps();
}
