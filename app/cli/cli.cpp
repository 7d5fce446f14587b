#include "app/cli/cli.h"

#include "app/frontend.h"
#include "app/zmk.h"
#include "framework/bytes.h"
#include "platform/ports.h"
#include "platform/serial.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#ifndef ZMK_VERSION
#define ZMK_VERSION "0"
#endif

namespace {

// Larger files are not firmware for this device.
constexpr std::streamoff image_max = 16 * 1024 * 1024;

const char *phase_name(uint32_t state)
{
    switch (state) {
    case LPROG_ERASE: return "Erasing";
    case LPROG_WAIT_ERASE: return "Waiting for erase";
    case LPROG_PROGRAM: return "Programming";
    case LPROG_REWRITE_FIRST: return "Rewriting first chunk";
    case LPROG_SET_CLOCK: return "Setting clock";
    case LPROG_RESET: return "Resetting";
    default: return "Done"; // idle again once RESET is acknowledged
    }
}

struct cli_run_state {
    cli_watch watch;
    bool live;
    bool quiet;
    bool line_open; // a live line is on screen without its line end
    const char *port;
};

cli_run_state run;

void cli_console(const char *text)
{
    if (run.quiet)
        return;
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void cli_progress(void *, const lprog_progress *p, const char *text)
{
    uint32_t now = platform_tick_ms();
    cli_watch_update(&run.watch, p, now);
    if (run.quiet)
        return;
    if (!run.live) {
        std::fputs(text, stdout);
        std::fflush(stdout);
        return;
    }
    // Redraw on every phase change, else at most ten times a second.
    if (run.line_open && p->state == run.watch.drawn_state && now - run.watch.drawn_ms < 100)
        return;
    char line[160];
    cli_format_live(&run.watch, now, line, sizeof line);
    // Padded rather than cleared with an escape sequence, which not every
    // Windows console understands.
    std::printf("\r%-72s", line);
    std::fflush(stdout);
    run.watch.drawn_ms = now;
    run.watch.drawn_state = p->state;
    run.line_open = true;
}

void end_live_line()
{
    if (run.line_open) {
        std::fputs("\n", stdout);
        std::fflush(stdout);
        run.line_open = false;
    }
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

// The flasher's only fatal error is a port that does not open.
void cli_message_box(const char *text, const char *)
{
    end_live_line();
    if (!run.quiet)
        std::fputs(text, stderr);
    uint32_t code = port_last_error();
    port_error_kind kind = port_error_classify(code);
    char why[160] = "";
    port_error_text(code, why, sizeof why);
    for (size_t n = std::strlen(why); n > 0 && (why[n - 1] == '\n' || why[n - 1] == '\r' ||
                                                why[n - 1] == '.' || why[n - 1] == ' ');)
        why[--n] = 0;
    std::fprintf(stderr, "zmk-cli: cannot open %s: %s%s%s%s\n", run.port, reason_text(kind),
                 why[0] ? " (" : "", why, why[0] ? ")" : "");
    const char *advice = port_error_advice(kind);
    if (advice[0])
        std::fprintf(stderr, "zmk-cli: %s\n", advice);
}

void cli_tone(uint32_t, uint32_t) {}

int cli_status(const char *) { return 1; }

int list_ports()
{
    static port_info ports[PORTS_MAX];
    int n = ports_list(ports, PORTS_MAX);
    for (int i = 0; i < n; ++i) {
        if (ports[i].description[0])
            std::printf("%s\t%s\n", ports[i].path, ports[i].description);
        else
            std::printf("%s\n", ports[i].path);
    }
    if (n == 0)
        std::fprintf(stderr, "zmk-cli: no serial ports found\n");
    return CLI_EXIT_DONE;
}

int read_image(const std::string &path, std::vector<uint8_t> *out)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        std::fprintf(stderr, "zmk-cli: cannot read image %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return -1;
    }
    std::streamoff size = in.tellg();
    if (size <= 0 || size > image_max) {
        std::fprintf(stderr, "zmk-cli: image %s is %s\n", path.c_str(),
                     size == 0 ? "empty" : "not a firmware image (size)");
        return -1;
    }
    out->resize(size_t(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char *>(out->data()), size)) {
        std::fprintf(stderr, "zmk-cli: cannot read image %s\n", path.c_str());
        return -1;
    }
    return 0;
}

// Steps the run to its end, or until the watch gives it up.
int run_steps(const cli_options &opt)
{
    while (!flasher_step(&flasher)) {
        const uint32_t now = platform_tick_ms();
        const uint32_t state = run.watch.last.state; // the command just sent
        cli_verdict v =
            cli_watch_answer(&run.watch, state, lprog_answer(flasher.prog),
                             lprog_answer_text(flasher.prog), port_is_gone(flasher.handle), now,
                             opt.timeout_s * 1000.0, opt.erase_timeout_s * 1000.0);
        if (v == CLI_GO_ON)
            continue;
        end_live_line();
        char why[200];
        cli_format_verdict(&run.watch, v, now, opt, why, sizeof why);
        std::fprintf(stderr, "zmk-cli: %s\n", why);
        return CLI_EXIT_SILENT;
    }
    return CLI_EXIT_DONE;
}

} // namespace

int cli_parse(int argc, char **argv, cli_options *opt)
{
    CLI::App app{"Writes the firmware image into the device on PORT, sets its clock and "
                 "resets it.",
                 "zmk-cli"};
    // "/dev/ttyUSB0" is a port, not a Windows-style option.
    app.allow_windows_style_options(false);
    app.add_option("PORT", opt->port, "Serial port: /dev/ttyUSB0, COM3, ...");
    app.add_flag("--list", opt->list, "List the serial ports that can be opened now");
    app.add_option("--image", opt->image, "Flash FILE instead of the built-in image")
        ->type_name("FILE");
    const CLI::Validator seconds(
        [](std::string &v) {
            char *end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            return end != v.c_str() && *end == 0 && d >= 0 && d < 1e9
                       ? std::string()
                       : "expects a number of seconds, 0 or more";
        },
        "");
    app.add_option("--timeout", opt->timeout_s,
                   "Give up when the device has acknowledged nothing for SECONDS, because it "
                   "is silent or refuses the command (0: never)")
        ->type_name("SECONDS")
        ->check(seconds)
        ->default_str("30");
    app.add_option("--erase-timeout", opt->erase_timeout_s,
                   "While the device answers the erase poll with \"not yet\", wait up to "
                   "SECONDS for the erase to finish (0: never give up)")
        ->type_name("SECONDS")
        ->check(seconds)
        ->default_str("300");
    app.add_flag("-q,--quiet", opt->quiet, "Print errors only");
    app.set_version_flag("--version", "zmk-cli " ZMK_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int rc = app.exit(e);
        return rc == 0 ? CLI_EXIT_DONE : CLI_EXIT_USAGE;
    }
    if (!opt->list && opt->port.empty()) {
        std::fprintf(stderr, "zmk-cli: PORT is required\nRun with --help for more information.\n");
        return CLI_EXIT_USAGE;
    }
    return -1;
}

void cli_watch_init(cli_watch *t, uint32_t now_ms)
{
    *t = cli_watch{};
    t->last_ack_ms = now_ms;
    t->last_life_ms = now_ms;
    t->drawn_state = LPROG_IDLE;
}

void cli_watch_update(cli_watch *t, const lprog_progress *p, uint32_t now_ms)
{
    if (p->state == LPROG_WAIT_ERASE && !t->erase_started) {
        t->erase_started = 1;
        t->erase_start_ms = now_ms;
    }
    if (p->state == LPROG_PROGRAM && !t->program_started) {
        t->program_started = 1;
        t->program_start_ms = now_ms;
        t->program_start_done = p->done;
    }
    t->last = *p;
    t->seen = 1;
}

cli_verdict cli_watch_answer(cli_watch *t, uint32_t state, uint32_t answer, const char *text,
                             int gone, uint32_t now_ms, double timeout_ms, double erase_timeout_ms)
{
    if (gone)
        return CLI_DISCONNECTED;
    if (answer == LPROG_ANSWER_ACK) {
        t->last_ack_ms = t->last_life_ms = now_ms;
        t->other_seen = 0;
        return CLI_GO_ON;
    }
    if (answer == LPROG_ANSWER_OTHER) {
        t->last_life_ms = t->last_other_ms = now_ms;
        t->other_seen = 1;
        std::snprintf(t->other_text, sizeof t->other_text, "%s", text ? text : "");
    }
    // The erase poll answered "not yet": the device is busy erasing, which
    // may take long, but not for ever.
    if (state == LPROG_WAIT_ERASE && t->other_seen) {
        if (erase_timeout_ms > 0 && double(now_ms - t->erase_start_ms) >= erase_timeout_ms)
            return CLI_ERASE_TIMEOUT;
        if (timeout_ms > 0 && double(now_ms - t->last_life_ms) >= timeout_ms)
            return CLI_SILENT;
        return CLI_GO_ON;
    }
    if (timeout_ms <= 0 || double(now_ms - t->last_ack_ms) < timeout_ms)
        return CLI_GO_ON;
    return t->other_seen && double(now_ms - t->last_other_ms) < timeout_ms ? CLI_REFUSED
                                                                           : CLI_SILENT;
}

namespace {

// "PROGRAM at 0x1900", "ERASE".
void describe_command(const lprog_progress &p, char *dest, size_t size)
{
    if (p.state == LPROG_PROGRAM || p.state == LPROG_REWRITE_FIRST)
        std::snprintf(dest, size, "%s at 0x%lx", lprog_command_name(p.state),
                      static_cast<unsigned long>(p.address));
    else
        std::snprintf(dest, size, "%s", lprog_command_name(p.state));
}

} // namespace

void cli_format_verdict(const cli_watch *t, cli_verdict v, uint32_t now_ms, const cli_options &opt,
                        char *dest, size_t size)
{
    char command[48];
    describe_command(t->last, command, sizeof command);
    switch (v) {
    case CLI_DISCONNECTED:
        std::snprintf(dest, size, "the device disconnected while waiting on %s", command);
        break;
    case CLI_REFUSED:
        std::snprintf(dest, size, "the device refuses %s: it answers %s", command,
                      t->other_text[0] ? t->other_text : "with an empty packet");
        break;
    case CLI_ERASE_TIMEOUT:
        std::snprintf(dest, size,
                      "the erase did not finish within %g s: the device still answers %s to "
                      "the erase poll",
                      opt.erase_timeout_s, t->other_text);
        break;
    default:
        std::snprintf(dest, size,
                      "the device stopped answering: nothing acknowledged for %.1f s while "
                      "waiting on %s",
                      (now_ms - t->last_ack_ms) / 1000.0, command);
        break;
    }
}

int cli_format_live(const cli_watch *t, uint32_t now_ms, char *dest, size_t size)
{
    const lprog_progress &p = t->last;
    uint32_t total = p.total ? p.total : 1;
    uint32_t done = p.done > p.total ? p.total : p.done;
    unsigned pct = unsigned(uint64_t(done) * 100 / total);
    char rate[24] = "-- kB/s";
    char left[24] = "";
    uint32_t ms = now_ms - t->program_start_ms;
    uint32_t sent = done - (t->program_start_done < done ? t->program_start_done : done);
    if (t->program_started && ms > 0 && sent > 0) {
        double bps = double(sent) * 1000.0 / ms;
        std::snprintf(rate, sizeof rate, "%.1f kB/s", bps / 1000.0);
        auto secs = unsigned(double(p.total - done) / bps + 0.5);
        if (p.state == LPROG_PROGRAM)
            std::snprintf(left, sizeof left, "  %u:%02u left", secs / 60, secs % 60);
    }
    return std::snprintf(dest, size, "%-21s %3u%%  %u/%u bytes  %s%s", phase_name(p.state), pct,
                         unsigned(done), unsigned(p.total), rate, left);
}

int cli_run(const cli_options &opt)
{
    if (opt.list)
        return list_ports();

    static std::vector<uint8_t> image;
    if (!opt.image.empty() && read_image(opt.image, &image) != 0)
        return CLI_EXIT_USAGE;

    run = cli_run_state{};
    run.quiet = opt.quiet;
    run.live = !opt.quiet && platform_stdout_is_terminal();
    run.port = opt.port.c_str();

    static zmk_frontend fe{};
    fe.message_box = cli_message_box;
    fe.tone = cli_tone;
    fe.status = cli_status;
    fe.console = cli_console;
    fe.progress = cli_progress;
    fe.progress_ctx = nullptr;
    fe.exit_process = nullptr; // exit(1) after the port error
    frontend_set(&fe);

    flasher.port_name = run.port;
    flasher.baud = 115200;
    flasher.chunk = 256;
    flasher.address = 0;
    if (!image.empty()) {
        flasher.image_override = image.data();
        flasher.image_override_size = uint32_t(image.size());
    }
    uint32_t started = platform_tick_ms();
    flasher_open(&flasher);
    cli_watch_init(&run.watch, platform_tick_ms());

    if (int rc = run_steps(opt); rc != CLI_EXIT_DONE)
        return rc;
    if (run.live) {
        char line[160];
        uint32_t now = platform_tick_ms();
        run.watch.last.state = LPROG_IDLE;
        cli_format_live(&run.watch, now, line, sizeof line);
        std::snprintf(line + std::strlen(line), sizeof line - std::strlen(line), "  in %.1f s",
                      (now - started) / 1000.0);
        std::printf("\r%-72s\n", line);
        run.line_open = false;
    }
    std::fflush(stdout);
    return CLI_EXIT_DONE;
}
