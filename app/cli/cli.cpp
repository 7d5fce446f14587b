// One run of zmk-cli: the engine's events rendered as the dialog's console
// lines, or as one live line on a terminal, or (for a parent that runs many
// devices) as protocol lines; how the run ended, as the engine judged it or a
// signal cut it short; and the run's record.
#include "app/cli/cli.h"

#include "app/cli/advice.h"
#include "app/cli/child.h"
#include "app/cli/db.h"
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
    cli_db *db; // nullptr: no --db
    const serial_plan *plan;
    std::string name; // the run's name in the records
    bool claimed;     // it carries a serial number
    cli_claim claim;
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

cli_record record_of(int exit, const char *result, const char *message)
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
                 run.watch.repeats,
                 run.name};
    r.host = cli_station_name(*run.opt);
    port_identify(run.opt->port.c_str(), &r.usb);
    if (run.claimed)
        r.serial = {run.plan->pool, run.claim.value,
                    serial_hex(run.claim.bytes.data(), run.claim.bytes.size()),
                    cli_db_serial_state(exit == CLI_EXIT_DONE, run.watch.serial_sent)};
    return r;
}

// Into the database, or the station's spool while it cannot take it.
bool keep_in_db(const cli_record &r, std::string *why)
{
    bool spooled = false;
    if (!cli_db_record(run.db, cli_record_json(r), &spooled, why))
        return false;
    if (spooled)
        std::fprintf(stderr,
                     "zmk-cli: the database %s cannot take the record now (%s): it is kept in "
                     "%s, and the next run on this station writes it\n",
                     run.db->name.c_str(), why->c_str(), run.db->spool.c_str());
    return true;
}

// The record of a single run; false, with the reason told, when it could not
// be kept.
bool keep_record(int exit, const char *result, const char *message)
{
    const cli_record r = record_of(exit, result, message);
    std::string why;
    if (!run.opt->log.empty() && cli_record_append(run.opt->log, r, &why) != 0)
        why = "cannot write " + run.opt->log + " (" + why + ")";
    else if (run.db && !keep_in_db(r, &why))
        why = "the database " + run.db->name + " refused it: " + why;
    else
        return true;
    std::fprintf(stderr, "zmk-cli: %s%s, but its record was not kept: %s\n", run.opt->port.c_str(),
                 exit == CLI_EXIT_DONE ? " was programmed" : " failed", why.c_str());
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
    } else if ((!run.opt->log.empty() || run.db) && !keep_record(exit, result, message)) {
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
    while ((ended = flasher_tick(&flasher)) == 0) {
        if (proc_interrupts() > 0)
            stop_here();
        if (run.db)
            cli_db_flush(run.db); // keeps the reservation alive on a long run
    }
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

bool plan_serials(const cli_options &opt, const cli_image &image, serial_plan *plan)
{
    const std::string why = opt.child ? "" : serial_plan_make(opt, image.size, plan);
    if (why.empty())
        return true;
    std::fprintf(stderr, "zmk-cli: %s\nRun with --help for more information.\n", why.c_str());
    return false;
}

// A child puts the number its parent reserved into its image.
int put_serial(const cli_options &opt, cli_image *image)
{
    const size_t colon = opt.serial_put.find(':');
    uint64_t at = 0;
    std::vector<uint8_t> bytes;
    if (colon == std::string::npos || !serial_parse_number(opt.serial_put.substr(0, colon), &at) ||
        !serial_unhex(opt.serial_put.substr(colon + 1), &bytes) || at > image->size ||
        bytes.size() > image->size - at) {
        std::fprintf(stderr, "zmk-cli: --serial-put takes OFFSET:HEX inside the image\n");
        return CLI_EXIT_USAGE;
    }
    cli_image_put(image, at, bytes);
    return 0;
}

// The device's own number, reserved in the database before its port is
// touched, into this run's copy of the image.
int take_serial(const cli_options &opt, cli_image *image)
{
    if (!opt.serial_put.empty())
        return put_serial(opt, image);
    if (!run.plan->given)
        return 0;
    port_info usb{};
    port_identify(opt.port.c_str(), &usb);
    std::string why;
    switch (cli_db_reserve(run.db, run.name, opt.port, usb, &run.claim, &why)) {
    case STORE_OK:
        run.claimed = true;
        cli_image_put(image, run.plan->at, run.claim.bytes);
        return 0;
    case STORE_EXHAUSTED:
        std::fprintf(stderr,
                     "zmk-cli: the serial numbers of pool '%s' are used up; no device was "
                     "touched\n",
                     run.plan->pool.c_str());
        return CLI_EXIT_USAGE;
    default:
        std::fprintf(stderr,
                     "zmk-cli: no serial number can be reserved from %s: %s; no device "
                     "was touched\n",
                     run.db->name.c_str(), why.c_str());
        return CLI_EXIT_PORT;
    }
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
    static serial_plan plan;
    static cli_db db;
    if (cli_load_image(opt, &image) != 0 || !plan_serials(opt, image, &plan))
        return CLI_EXIT_USAGE;
    if (const int rc = check_log(opt))
        return rc;
    if (!opt.db.empty() && !opt.child)
        if (const int rc = cli_db_open(&db, opt, plan))
            return rc;
    if (opt.station || opt.ports.size() > 1 || !opt.ui.empty())
        return cli_gang(opt, image, plan, db.db ? &db : nullptr);
    proc_catch_interrupts(!opt.child);
    install_frontend(opt, image);
    run.db = db.db ? &db : nullptr;
    run.plan = &plan;
    run.name = cli_run_name(cli_station_name(opt));
    if (const int rc = take_serial(opt, &image))
        return rc;
    run.started_ms = platform_tick_ms();
    run.started = std::time(nullptr);
    cli_watch_init(&run.watch, run.started_ms, run.claimed ? int64_t(plan.at) : -1);
    const zmk_limits limits = cli_limits(opt);
    if (const int why = flasher_start(&flasher, opt.port.c_str(),
                                      image.bytes.empty() ? nullptr : image.bytes.data(),
                                      uint32_t(image.bytes.size()), &limits))
        open_failed(why);
    run_steps();
}
