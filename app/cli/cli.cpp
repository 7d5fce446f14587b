// One run of zmk-cli: the engine's events rendered as the dialog's console
// lines, or as one live line on a terminal, and the watch that ends a run the
// device no longer serves.
#include "app/cli/cli.h"

#include "app/zmk.h"
#include "layers/ser.h"
#include "platform/port_error.h"
#include "platform/ports.h"
#include "platform/syserror.h"
#include "platform/terminal.h"
#include "platform/tick.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

// Larger files are not firmware for this device.
constexpr std::streamoff image_max = 16 * 1024 * 1024;

struct cli_run_state {
    const cli_options *opt;
    cli_watch watch;
    cli_verdict verdict;
    bool live;
    bool line_open; // a live line is on screen without its line end
    uint32_t drawn_ms, drawn_state;
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
    if (e->kind == ZMK_SENT) {
        cli_watch_sent(&run.watch, e, now);
        if (run.live)
            draw_live(now, false, "");
        else if (!run.opt->quiet)
            print(stdout, e->text);
    } else if (e->kind == ZMK_ANSWER) {
        run.verdict = cli_watch_answer(&run.watch, e, now, run.opt->timeout_s * 1000.0,
                                       run.opt->erase_timeout_s * 1000.0);
    }
}

void cli_console(const char *text)
{
    if (!run.opt->quiet)
        print(stdout, text);
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

// The engine's only fatal error is a port that does not open.
void cli_message_box(const char *text, const char *)
{
    const uint32_t code = platform_last_error();
    end_live_line();
    if (!run.opt->quiet)
        print(stderr, text);
    port_error_kind kind = port_error_classify(code);
    char why[160] = "";
    platform_error_text(code, why, sizeof why);
    for (size_t n = std::strlen(why); n > 0 && std::strchr("\r\n. ", why[n - 1]);)
        why[--n] = 0;
    std::fprintf(stderr, "zmk-cli: cannot open %s: %s%s%s%s\n", run.opt->port.c_str(),
                 reason_text(kind), why[0] ? " (" : "", why, why[0] ? ")" : "");
    const char *advice = port_error_advice(kind);
    if (advice[0])
        std::fprintf(stderr, "zmk-cli: %s\n", advice);
}

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

void install_frontend(const cli_options &opt)
{
    run = cli_run_state{};
    run.opt = &opt;
    run.live = !opt.quiet && platform_stdout_is_terminal();
    static zmk_frontend fe{};
    fe.message_box = cli_message_box;
    fe.tone = [](uint32_t, uint32_t) {};
    fe.status = [](const char *) { return 1; };
    fe.console = cli_console;
    fe.event = cli_event;
    fe.exit_process = nullptr; // exit(1) after the port error
    frontend_set(&fe);
}

// Steps the run to its end, or until the watch gives it up.
int run_steps(uint32_t started)
{
    while (!flasher_tick(&flasher)) {
        if (run.verdict == CLI_GO_ON)
            continue;
        end_live_line();
        char why[200];
        cli_format_verdict(&run.watch, run.verdict, platform_tick_ms(), *run.opt, why, sizeof why);
        std::fprintf(stderr, "zmk-cli: %s\n", why);
        return CLI_EXIT_SILENT;
    }
    if (run.live) {
        char took[32];
        std::snprintf(took, sizeof took, "  in %.1f s", (platform_tick_ms() - started) / 1000.0);
        run.watch.last.state = LPROG_IDLE;
        draw_live(platform_tick_ms(), true, took);
        end_live_line();
    }
    return CLI_EXIT_DONE;
}

} // namespace

int cli_run(const cli_options &opt)
{
    if (opt.list)
        return list_ports();
    static std::vector<uint8_t> image;
    if (!opt.image.empty() && read_image(opt.image, &image) != 0)
        return CLI_EXIT_USAGE;
    install_frontend(opt);
    const uint32_t started = platform_tick_ms();
    cli_watch_init(&run.watch, started);
    flasher_start(&flasher, opt.port.c_str(), image.empty() ? nullptr : image.data(),
                  uint32_t(image.size()));
    const int rc = run_steps(started);
    // The port goes back to the settings it had before the run.
    (void)ser_restore(flasher.handle);
    std::fflush(stdout);
    return rc;
}
