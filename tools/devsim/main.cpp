// zmk-devsim: the target device on a pseudo-terminal (or a given tty), with
// line pacing, fault injection and a JSON report at the end of the session.
#include "tools/devsim/devsim.h"
#include "tools/devsim/pty.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

struct options {
    devsim_config cfg;
    std::string mode = "plain", port, link, expect_path, report_path, dump_path;
    std::array<std::string, DEVSIM_FAULT_KINDS> at_lists; // --drop-at and the like
    std::vector<std::string> show_texts, skip_texts;      // ADDR:LEN
    std::vector<devsim_range> show, expect_skip;
    double max_seconds = 0;
    uint32_t quiet_ms = 500;
    uint32_t appear_after_ms = 0;
    bool quiet = false;
    uint32_t adapter_latency_ms = 0, adapter_packet = 62;
    std::string adapter_sysfs;
};

void add_device_options(CLI::App &app, options *o)
{
    devsim_config &cfg = o->cfg;
    app.add_option("--port", o->port, "Use this existing tty instead of a new pseudo-terminal");
    app.add_option("--link", o->link,
                   "Also make a symlink to the host's side at this path; it goes first when "
                   "the session ends");
    app.add_option("--appear-after-ms", o->appear_after_ms,
                   "Open the line (print its path, make the --link) only after this long, as a "
                   "device plugged in later")
        ->capture_default_str();
    app.add_option("--mode", o->mode, "Packet kind the device speaks")
        ->check(CLI::IsMember({"plain", "tagged"}))
        ->capture_default_str();
    app.add_option("--tag", cfg.tag, "The device's own tag in tagged packets")
        ->capture_default_str();
    app.add_option("--switch-at", cfg.switch_at,
                   "Switch to the other packet kind at this frame (0: never)");
    app.add_option("--erase-ms", cfg.erase_ms, "How long an erase runs")->capture_default_str();
    app.add_option("--baud", cfg.baud, "Pace the line at this rate, 10 bits a byte (0: unpaced)")
        ->capture_default_str();
    app.add_option("--flash-size", cfg.flash_size, "Flash size in bytes")
        ->check(CLI::Range(1u, 1u << 28))
        ->capture_default_str();
    app.add_option("--seed", cfg.seed, "Seed for the fault rates, corrupted bits and garbage")
        ->capture_default_str();
}

void add_fault_options(CLI::App &app, options *o)
{
    devsim_config &cfg = o->cfg;
    static constexpr std::array<const char *, DEVSIM_FAULT_KINDS> help = {
        "Drop the reply (the command is still carried out)",
        "Flip one bit of the reply",
        "Answer with a non-ACK reply and do not carry the command out",
        "Send random bytes right behind the reply",
        "Hold the reply back by --delay-ms",
        "Pause for --stall-ms in the middle of the reply",
    };
    for (size_t i = 0; i < DEVSIM_FAULT_KINDS; ++i) {
        std::string name = std::string("--") + devsim_fault_names[i];
        app.add_option(name, cfg.faults[i].rate, std::string(help[i]) + ", at this rate")
            ->check(CLI::Range(0.0, 1.0));
        app.add_option(name + "-at", o->at_lists[i], std::string(help[i]) + ", at these frames");
    }
    app.add_option("--delay-ms", cfg.delay_ms, "Length of a delayed reply's delay")
        ->capture_default_str();
    app.add_option("--stall-ms", cfg.stall_ms, "Length of the pause inside a stalled reply")
        ->capture_default_str();
    app.add_option("--bit-errors", cfg.bit_error_rate,
                   "Flip one bit of a reply byte on the line, at this rate per byte")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--silent-after", cfg.silent_after, "Answer no frame after this one (0: never)");
    app.add_option("--hangup-at", cfg.hangup_at,
                   "Hang the line up at this frame and end (0: never)");
}

void add_adapter_options(CLI::App &app, options *o)
{
    auto *latency =
        app.add_option("--adapter-latency-ms", o->adapter_latency_ms,
                       "Put a USB serial adapter between the device and the host: what the "
                       "device sends waits until this long after its first unsent byte, or until "
                       "--adapter-packet bytes are waiting (0: no adapter)")
            ->check(CLI::Range(0u, 255u))
            ->capture_default_str();
    app.add_option("--adapter-packet", o->adapter_packet,
                   "The adapter sends on at once when this many bytes are waiting")
        ->check(CLI::Range(1u, 4096u))
        ->capture_default_str()
        ->needs(latency);
    app.add_option("--adapter-sysfs", o->adapter_sysfs,
                   "Lay out DIR/class/tty/NAME/device/latency_timer holding the adapter's "
                   "latency (NAME: the tty's file name, \"3\" for /dev/pts/3) and follow what is "
                   "written there")
        ->needs(latency);
}

void add_line_fault_options(CLI::App &app, devsim_line_fault *lf)
{
    struct choice {
        const char *name;
        int32_t kind;
        const char *help;
    };
    static constexpr std::array<choice, 4> choices = {{
        {"--chatter-after", DEVSIM_LINE_CHATTER,
         "After answering this frame (0: from the start), answer nothing and send log text "
         "without pause (at --baud; unpaced, a byte every 2 ms)"},
        {"--trickle-after", DEVSIM_LINE_TRICKLE,
         "After answering this frame (0: from the start), answer nothing and send one byte "
         "every 100 ms, a frame that never ends"},
        {"--deaf-after", DEVSIM_LINE_DEAF,
         "After answering this frame (0: from the start), stop reading the line, so the "
         "host's writes block once the pty is full"},
        {"--refuse-after", DEVSIM_LINE_REFUSE,
         "After answering this frame (0: from the start), answer every command NAK and do "
         "not carry it out"},
    }};
    std::vector<CLI::Option *> given;
    for (const auto &c : choices) {
        int32_t kind = c.kind;
        auto set = [lf, kind](const uint32_t &n) {
            lf->kind = kind;
            lf->after = n;
        };
        given.push_back(app.add_option_function<uint32_t>(c.name, set, c.help));
    }
    for (size_t i = 0; i < given.size(); ++i)
        for (size_t j = i + 1; j < given.size(); ++j)
            given[i]->excludes(given[j]);
    app.add_option("--line-fault-ms", lf->ms,
                   "How long that line fault lasts; then the device behaves normally again, "
                   "reading what queued up (0: until the session ends)")
        ->capture_default_str();
}

void add_session_options(CLI::App &app, options *o)
{
    auto *expect =
        app.add_option("--expect", o->expect_path, "Image the erased range must hold at the end")
            ->check(CLI::ExistingFile);
    app.add_option("--expect-skip", o->skip_texts,
                   "Leave the flash bytes ADDR:LEN out of the comparison with --expect "
                   "(repeatable; decimal or 0x-hex)")
        ->needs(expect);
    app.add_option("--report", o->report_path,
                   "Write the JSON report here (default: standard error)");
    app.add_option("--show", o->show_texts,
                   "Give the flash bytes ADDR:LEN in hex in the report's \"shown\" (repeatable; "
                   "decimal or 0x-hex, LEN at most 4096)");
    app.add_option("--dump", o->dump_path,
                   "Write the whole flash (--flash-size bytes) here at the end");
    app.add_option("--max-seconds", o->max_seconds,
                   "End the session after this long (0: no limit)");
    app.add_option("--quiet-ms", o->quiet_ms,
                   "After RESET, end once the line has been quiet this long")
        ->capture_default_str();
    app.add_flag("--quiet", o->quiet, "No log lines on standard error");
    app.set_version_flag("--version", "zmk-devsim " ZMK_VERSION);
}

// Parses "7,12,40" into frame numbers; false on anything else.
bool parse_frame_list(const std::string &text, std::vector<uint32_t> *out)
{
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        size_t j = i;
        uint64_t v = 0;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9' && v <= 0xFFFFFFFFull)
            v = v * 10 + uint64_t(text[j++] - '0');
        if (j == i || v == 0 || v > 0xFFFFFFFFull || (j < text.size() && text[j] != ','))
            return false;
        out->push_back(uint32_t(v));
        i = j + 1;
        if (j + 1 == text.size())
            return false; // trailing comma
    }
    return !out->empty();
}

// A decimal or 0x-hex number and nothing else.
bool parse_number(std::string_view text, uint64_t *out)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const char *end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, *out, base);
    return !text.empty() && ec == std::errc() && p == end;
}

// Parses each "ADDR:LEN" into a range of 1 to `most` bytes inside the flash;
// false (with a message) on the first that is not.
bool parse_ranges(const char *option, const std::vector<std::string> &texts, uint32_t flash_size,
                  uint64_t most, std::vector<devsim_range> *out)
{
    for (const std::string &text : texts) {
        const size_t colon = text.find(':');
        uint64_t a = 0, n = 0;
        const bool good = colon != std::string::npos &&
                          parse_number(std::string_view(text).substr(0, colon), &a) &&
                          parse_number(std::string_view(text).substr(colon + 1), &n) && n > 0 &&
                          n <= most && a < flash_size && n <= flash_size - a;
        if (!good) {
            std::fprintf(stderr,
                         "zmk-devsim: %s wants ADDR:LEN (decimal or 0x-hex), LEN from 1 to %llu, "
                         "inside the %u-byte flash, not \"%s\"\n",
                         option, (unsigned long long)most, flash_size, text.c_str());
            return false;
        }
        out->push_back({uint32_t(a), uint32_t(n)});
    }
    return true;
}

bool read_file(const std::string &path, std::vector<uint8_t> *out)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

// What the options say beyond plain values: the frame lists, the packet
// kind, the image to expect. False (with a message) when one is wrong.
bool finish_options(options *o, std::vector<uint8_t> *expect)
{
    for (size_t i = 0; i < DEVSIM_FAULT_KINDS; ++i) {
        if (!o->at_lists[i].empty() && !parse_frame_list(o->at_lists[i], &o->cfg.faults[i].at)) {
            std::fprintf(stderr, "zmk-devsim: --%s-at wants frame numbers like 7,12\n",
                         devsim_fault_names[i]);
            return false;
        }
    }
    o->cfg.mode = o->mode == "tagged" ? DEVSIM_TAGGED : DEVSIM_PLAIN;
    const uint32_t size = o->cfg.flash_size;
    if (!parse_ranges("--show", o->show_texts, size, 4096, &o->show) ||
        !parse_ranges("--expect-skip", o->skip_texts, size, size, &o->expect_skip))
        return false;
    if (!o->expect_path.empty() && !read_file(o->expect_path, expect)) {
        std::fprintf(stderr, "zmk-devsim: cannot read %s\n", o->expect_path.c_str());
        return false;
    }
    return true;
}

// The name the tty has under /sys/class/tty: the file name of what its path
// resolves to ("3" for /dev/pts/3).
std::string tty_name(const std::string &path)
{
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(path, ec);
    return (ec ? std::filesystem::path(path) : real).filename().string();
}

// Opens the line and tells the host where it is: the path on standard
// output's first line, and the --link. The adapter's sysfs file is laid out
// first, so that a host that sees the line finds it.
bool open_line(const options &o, tty *l, adapter *a)
{
    std::string error;
    if (!open_tty(l, o.port, o.cfg.baud, &error)) {
        std::fprintf(stderr, "zmk-devsim: %s\n", error.c_str());
        return false;
    }
    if (!o.adapter_sysfs.empty() &&
        !adapter_sysfs_make(a, o.adapter_sysfs, tty_name(l->path), &error)) {
        std::fprintf(stderr, "zmk-devsim: %s\n", error.c_str());
        return false;
    }
    std::printf("%s\n", l->path.c_str());
    std::fflush(stdout);
    if (!o.link.empty()) {
        unlink(o.link.c_str());
        if (symlink(l->path.c_str(), o.link.c_str()) != 0) {
            std::fprintf(stderr, "zmk-devsim: symlink %s: %s\n", o.link.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    return true;
}

// Unplugged: the link goes before the pty closes, so it never names a pty
// number that another simulator may be given next; the host's side then
// hangs up. A link that a newer simulator has made in its place stays.
void end_line(const options &o, tty *l)
{
    char target[256];
    const ssize_t n =
        o.link.empty() || l->fd < 0 ? -1 : readlink(o.link.c_str(), target, sizeof target - 1);
    if (n > 0 && l->path == std::string(target, size_t(n)))
        unlink(o.link.c_str());
    close_tty(l);
}

// Waits out --appear-after-ms; false when a signal came first.
bool wait_to_appear(const options &o)
{
    const int64_t until = now_us() + int64_t(o.appear_after_ms) * 1000;
    for (int64_t left; !stop_signal && (left = until - now_us()) > 0;) {
        timespec ts{time_t(left / 1'000'000), long(left % 1'000'000) * 1000};
        nanosleep(&ts, nullptr);
    }
    return !stop_signal;
}

struct session {
    const options &o;
    devsim_t *t;
    tty *l;
    int64_t start = now_us();
    int64_t last_activity = start;
    int64_t reset_replied = 0; // end of the last reply written after RESET
    uint32_t logged = 0;       // violations logged so far
    inbox in;
    line_noise noise;
    adapter *ad;
};

// What ends the session now, if anything: a signal, a quiet line after
// RESET, or the time limit.
const char *session_over(session &s)
{
    int64_t now = now_us();
    s.last_activity = std::max(s.last_activity, s.in.last_rx);
    if (stop_signal)
        return "signal";
    if (devsim_reset_seen(s.t) && now - s.last_activity >= int64_t(s.o.quiet_ms) * 1000)
        return "reset";
    if (s.o.max_seconds > 0 && double(now - s.start) >= s.o.max_seconds * 1e6)
        return "timeout";
    return nullptr;
}

void log_violations(session &s)
{
    if (s.o.quiet)
        return;
    const auto &v = devsim_violations(s.t);
    for (; s.logged < v.size(); ++s.logged)
        std::fprintf(stderr, "zmk-devsim: violation: %s\n", v[s.logged].c_str());
}

// Reads, answers and waits until the session ends; returns how it ended.
const char *run_session(session &s)
{
    for (;;) {
        if (const char *how = session_over(s))
            return how;
        if (device_deaf(s.t, s.l->fd, &s.in) || s.in.all_read()) {
            if (s.in.eof && s.in.all_read())
                return "eof";
            idle(s.t, &s.noise, s.o.cfg.baud, s.l->fd, &s.in, s.ad);
            continue;
        }
        const uint8_t *p = nullptr;
        int64_t arrived = 0;
        int32_t n = s.in.next(&p, &arrived);
        devsim_reply reply;
        bool framed = false;
        s.in.pos += size_t(devsim_feed(s.t, p, n, arrived, &reply, &framed));
        if (framed && reply.hangup) {
            end_line(s.o, s.l);
            return "hangup";
        }
        if (framed && reply.length > 0) {
            if (!send_reply(reply, s.l->fd, &s.in, s.ad))
                continue;
            s.last_activity = std::max(now_us(), adapter_due_us(s.ad));
            if (devsim_reset_seen(s.t))
                s.reset_replied = s.last_activity;
        }
        log_violations(s);
    }
}

bool write_file(const std::string &path, const char *data, size_t size)
{
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data, std::streamsize(size));
    out.close();
    if (!out)
        std::fprintf(stderr, "zmk-devsim: cannot write %s%s%s\n", path.c_str(), errno ? ": " : "",
                     errno ? std::strerror(errno) : "");
    return bool(out);
}

// False when the report or the dump could not be written: whoever reads
// them must not take an old or partial file for this session's.
bool write_outputs(devsim_t *t, const devsim_end &end, const options &o)
{
    bool written = true;
    std::string report = devsim_report(t, &end);
    if (o.report_path.empty())
        std::fputs(report.c_str(), stderr);
    else
        written = write_file(o.report_path, report.data(), report.size());
    if (!o.dump_path.empty()) {
        const auto &flash = devsim_flash(t);
        written &=
            write_file(o.dump_path, reinterpret_cast<const char *>(flash.data()), flash.size());
    }
    return written;
}

// What the report says of how the session ended.
devsim_end end_of(const session &s, const char *how, const std::vector<uint8_t> *expect)
{
    devsim_end end;
    end.elapsed_us = now_us() - s.start;
    end.start_us = s.start;
    if (s.in.first_rx && s.reset_replied)
        end.line_us = s.reset_replied - s.in.first_rx;
    end.expect = expect;
    end.how = how;
    end.expect_skip = s.o.expect_skip;
    end.show = s.o.show;
    end.usb_adapter = adapter_on(s.ad) ? s.ad : nullptr;
    return end;
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    CLI::App app{"zmk-devsim: the target device on a pseudo-terminal.\n"
                 "Prints the path of the tty the host opens as its first line, answers the\n"
                 "programming protocol strictly, and writes a JSON report when the session ends\n"
                 "(RESET acknowledged and the line quiet, --max-seconds, or a signal).\n"
                 "Exit status 0 only when the session ended with RESET, nothing was violated\n"
                 "and (with --expect) the flash holds the image; 2 for a usage error, 3 when\n"
                 "the report or the dump could not be written.\n"
                 "Fault options take a rate (0..1, drawn per frame from --seed) or, with -at,\n"
                 "a list of frame numbers counted from 1 (e.g. --drop-at 7,12)."};
    add_device_options(app, &o);
    add_fault_options(app, &o);
    add_line_fault_options(app, &o.cfg.line_fault);
    add_adapter_options(app, &o);
    add_session_options(app, &o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2; // --help and --version are no usage error
    }

    std::vector<uint8_t> expect;
    tty l;
    adapter ad;
    adapter_init(&ad, o.adapter_latency_ms, o.adapter_packet);
    if (!finish_options(&o, &expect))
        return 2;
    catch_signals();
    const bool appeared = wait_to_appear(o);
    if (appeared && !open_line(o, &l, &ad))
        return 2;
    devsim_t *t = devsim_new(&o.cfg);
    session s{o, t, &l};
    s.ad = &ad;
    const char *how = appeared ? run_session(s) : "signal";
    if (l.fd >= 0)
        pty_flush_held(&ad, l.fd);
    end_line(o, &l);
    adapter_follow(&ad);

    const devsim_end end = end_of(s, how, o.expect_path.empty() ? nullptr : &expect);
    const bool written = write_outputs(t, end, o);
    bool ok = devsim_ok(t, &end);
    if (!o.quiet)
        std::fprintf(stderr, "zmk-devsim: session ended (%s): %s\n", end.how, ok ? "ok" : "not ok");
    devsim_free(t);
    return !written ? 3 : ok ? 0 : 1;
}
