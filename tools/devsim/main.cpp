// zmk-devsim: the target device on a pseudo-terminal (or a given tty), with
// line pacing, fault injection and a JSON report at the end of the session.
#include "tools/devsim/devsim.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

volatile std::sig_atomic_t stop_signal = 0;

void on_signal(int sig) { stop_signal = sig; }

int64_t now_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

// Bytes from the host with the time they came in. While the device waits
// (pacing, a delay, a stall) the line is still read, so a request that
// arrives meanwhile keeps its true arrival time for the pacing of its reply.
struct inbox {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<size_t, int64_t>> marks; // start of each read, its time
    size_t pos = 0;
    bool eof = false;
    uint64_t total = 0; // bytes read in the session
    int64_t last_rx = 0;
    int64_t first_rx = 0;

    inbox()
    {
        bytes.reserve(cap);
        marks.reserve(256);
    }
    static constexpr size_t cap = 1 << 16;

    bool empty() const { return pos == bytes.size(); }
    bool full() const { return bytes.size() + 4096 > cap || marks.size() == marks.capacity(); }
    // Waits up to `us` for bytes and takes what has come. ppoll, because a
    // millisecond poll would make every paced reply up to 1 ms late.
    void fill(int fd, int64_t us)
    {
        if (empty()) {
            bytes.clear();
            marks.clear();
            pos = 0;
        }
        if (fd < 0 || full())
            return;
        pollfd pfd{fd, POLLIN, 0};
        timespec ts{time_t(us / 1'000'000), long(us % 1'000'000) * 1000};
        if (ppoll(&pfd, 1, &ts, nullptr) <= 0)
            return;
        size_t at = bytes.size();
        bytes.resize(at + 4096);
        ssize_t got = read(fd, bytes.data() + at, 4096);
        bytes.resize(at + size_t(got > 0 ? got : 0));
        if (got > 0) {
            total += uint64_t(got);
            last_rx = now_us();
            if (!first_rx)
                first_rx = last_rx;
            marks.emplace_back(at, last_rx);
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            eof = true; // a given tty whose far end went away
        }
    }
    // The next run of bytes that share one arrival time.
    int32_t next(const uint8_t **p, int64_t *when) const
    {
        size_t i = marks.size();
        while (i > 0 && marks[i - 1].first > pos)
            --i;
        size_t end = i < marks.size() ? marks[i].first : bytes.size();
        *p = bytes.data() + pos;
        *when = marks[i - 1].second;
        return int32_t(end - pos);
    }
};

// Waits until `when` (monotonic microseconds), reading the line meanwhile;
// false when a signal came.
bool wait_until(int64_t when, int fd, inbox *in)
{
    while (!stop_signal) {
        int64_t left = when - now_us();
        if (left <= 0)
            return true;
        int64_t us = std::min<int64_t>(left, 20'000);
        if (in->eof || in->full()) {
            timespec ts{0, long(us) * 1000};
            nanosleep(&ts, nullptr);
        } else {
            in->fill(fd, us);
        }
    }
    return false;
}

speed_t speed_of(uint32_t baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B0;
    }
}

void make_raw(int fd, uint32_t baud)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (speed_t s = speed_of(baud); s != B0)
        cfsetspeed(&tio, s);
    tcsetattr(fd, TCSANOW, &tio);
}

// Writes all of p, waiting for room at most a second at a time.
bool write_all(int fd, const uint8_t *p, int32_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, size_t(n));
        if (w > 0) {
            p += w;
            n -= int32_t(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, 1000) <= 0 && !stop_signal)
            return false;
        if (stop_signal)
            return false;
    }
    return true;
}

struct line {
    int fd = -1;      // what we read and write
    int hold_fd = -1; // our own handle on the host's side, so its close is no hang-up
    std::string path;
};

bool open_line(line *l, const std::string &port, uint32_t baud, std::string *error)
{
    if (!port.empty()) {
        l->fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (l->fd < 0) {
            *error = port + ": " + std::strerror(errno);
            return false;
        }
        make_raw(l->fd, baud);
        l->path = port;
        return true;
    }
    l->fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (l->fd < 0 || grantpt(l->fd) != 0 || unlockpt(l->fd) != 0) {
        *error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(l->fd, name, sizeof name) != 0) {
        *error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    l->path = name;
    l->hold_fd = open(name, O_RDWR | O_NOCTTY);
    if (l->hold_fd < 0) {
        *error = l->path + ": " + std::strerror(errno);
        return false;
    }
    make_raw(l->hold_fd, baud); // raw from the start, before the host configures it
    fcntl(l->fd, F_SETFL, fcntl(l->fd, F_GETFL) | O_NONBLOCK);
    return true;
}

void close_line(line *l)
{
    if (l->hold_fd >= 0)
        close(l->hold_fd);
    if (l->fd >= 0)
        close(l->fd);
    l->fd = l->hold_fd = -1;
}

void pause_us(int64_t us)
{
    timespec ts{time_t(us / 1'000'000), long(us % 1'000'000) * 1000};
    nanosleep(&ts, nullptr);
}

// While deaf not even bytes already read are taken: the host's frames wait in
// the pty, and its writes block once that is full. Once it hears again, it
// reads what queued up meanwhile (until 10 ms bring nothing more) and notes
// where that ends.
bool device_deaf(devsim_t *t, int fd, inbox *in)
{
    line_fault_state *lf = devsim_line(t);
    if (lf->cfg.kind != DEVSIM_LINE_DEAF || lf->queued_until >= 0)
        return false;
    if (line_fault_on(lf, now_us()))
        return true;
    if (lf->started_us < 0)
        return false;
    for (uint64_t before = ~0ull; before != in->total && !in->full() && !in->eof;) {
        before = in->total;
        in->fill(fd, 10'000);
    }
    lf->queued_until = int64_t(in->total);
    return false;
}

// Between frames: waits for bytes from the host, putting a chattering or
// trickling device's noise on the line meanwhile, or sleeps while deaf.
void idle(devsim_t *t, line_noise *noise, uint32_t baud, int fd, inbox *in)
{
    line_fault_state *lf = devsim_line(t);
    int64_t now = now_us(), left = 0;
    int32_t kind = line_fault_on(lf, now, &left) ? lf->cfg.kind : DEVSIM_LINE_NONE;
    if (kind == DEVSIM_LINE_DEAF) {
        pause_us(std::min<int64_t>(left, 20'000));
    } else if (kind == DEVSIM_LINE_CHATTER || kind == DEVSIM_LINE_TRICKLE) {
        in->fill(fd, line_noise_pump(noise, kind, baud, fd, now, &lf->bytes));
    } else {
        in->fill(fd, 20'000);
    }
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

void write_outputs(devsim_t *t, const devsim_end &end, const std::string &report_path,
                   const std::string &dump_path)
{
    std::string report = devsim_report(t, &end);
    if (report_path.empty()) {
        std::fputs(report.c_str(), stderr);
    } else {
        std::ofstream out(report_path, std::ios::binary | std::ios::trunc);
        out << report;
        if (!out)
            std::fprintf(stderr, "zmk-devsim: cannot write %s\n", report_path.c_str());
    }
    if (!dump_path.empty()) {
        const auto &flash = devsim_flash(t);
        std::ofstream out(dump_path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(flash.data()), std::streamsize(flash.size()));
        if (!out)
            std::fprintf(stderr, "zmk-devsim: cannot write %s\n", dump_path.c_str());
    }
}

bool read_file(const std::string &path, std::vector<uint8_t> *out)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    devsim_config cfg;
    std::string mode = "plain", port, link, expect_path, report_path, dump_path;
    double max_seconds = 0;
    uint32_t quiet_ms = 500;
    bool quiet = false;
    std::array<std::string, DEVSIM_FAULT_KINDS> at_lists;

    CLI::App app{"zmk-devsim: the target device on a pseudo-terminal.\n"
                 "Prints the path of the tty the host opens as its first line, answers the\n"
                 "programming protocol strictly, and writes a JSON report when the session ends\n"
                 "(RESET acknowledged and the line quiet, --max-seconds, or a signal).\n"
                 "Exit status 0 only when the session ended with RESET, nothing was violated\n"
                 "and (with --expect) the flash holds the image.\n"
                 "Fault options take a rate (0..1, drawn per frame from --seed) or, with -at,\n"
                 "a list of frame numbers counted from 1 (e.g. --drop-at 7,12)."};
    app.add_option("--port", port, "Use this existing tty instead of a new pseudo-terminal");
    app.add_option("--link", link, "Also make a symlink to the host's side at this path");
    app.add_option("--mode", mode, "Packet kind the device speaks")
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
    std::array<const char *, DEVSIM_FAULT_KINDS> help = {
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
        app.add_option(name + "-at", at_lists[i], std::string(help[i]) + ", at these frames");
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
    add_line_fault_options(app, &cfg.line_fault);
    app.add_option("--expect", expect_path, "Image the erased range must hold at the end")
        ->check(CLI::ExistingFile);
    app.add_option("--report", report_path, "Write the JSON report here (default: standard error)");
    app.add_option("--dump", dump_path, "Write the whole flash contents here at the end");
    app.add_option("--max-seconds", max_seconds, "End the session after this long (0: no limit)");
    app.add_option("--quiet-ms", quiet_ms,
                   "After RESET, end once the line has been quiet this long")
        ->capture_default_str();
    app.add_flag("--quiet", quiet, "No log lines on standard error");
    app.set_version_flag("--version", "zmk-devsim " ZMK_VERSION);
    CLI11_PARSE(app, argc, argv);

    for (size_t i = 0; i < DEVSIM_FAULT_KINDS; ++i) {
        if (!at_lists[i].empty() && !devsim_parse_list(at_lists[i], &cfg.faults[i].at)) {
            std::fprintf(stderr, "zmk-devsim: --%s-at wants frame numbers like 7,12\n",
                         devsim_fault_names[i]);
            return 2;
        }
    }
    cfg.mode = mode == "tagged" ? DEVSIM_TAGGED : DEVSIM_PLAIN;
    std::vector<uint8_t> expect;
    if (!expect_path.empty() && !read_file(expect_path, &expect)) {
        std::fprintf(stderr, "zmk-devsim: cannot read %s\n", expect_path.c_str());
        return 2;
    }

    line l;
    std::string error;
    if (!open_line(&l, port, cfg.baud, &error)) {
        std::fprintf(stderr, "zmk-devsim: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s\n", l.path.c_str());
    std::fflush(stdout);
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(l.path.c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "zmk-devsim: symlink %s: %s\n", link.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    devsim_t *t = devsim_new(&cfg);
    const int64_t start = now_us();
    int64_t last_activity = start;
    int64_t reset_replied = 0; // end of the last reply written after RESET
    const char *how = nullptr;
    uint32_t logged = 0;
    inbox in;
    line_noise noise;

    while (!how) {
        int64_t now = now_us();
        last_activity = std::max(last_activity, in.last_rx);
        if (stop_signal) {
            how = "signal";
            break;
        }
        if (devsim_reset_seen(t) && now - last_activity >= int64_t(quiet_ms) * 1000) {
            how = "reset";
            break;
        }
        if (max_seconds > 0 && double(now - start) >= max_seconds * 1e6) {
            how = "timeout";
            break;
        }
        if (device_deaf(t, l.fd, &in) || in.empty()) {
            if (in.eof && in.empty()) {
                how = "eof";
                break;
            }
            idle(t, &noise, cfg.baud, l.fd, &in);
            continue;
        }
        const uint8_t *p = nullptr;
        int64_t arrived = 0;
        int32_t n = in.next(&p, &arrived);
        devsim_reply reply;
        bool framed = false;
        in.pos += size_t(devsim_feed(t, p, n, arrived, &reply, &framed));
        if (framed && reply.hangup) {
            close_line(&l);
            how = "hangup";
            break;
        }
        if (framed && reply.length > 0) {
            if (!wait_until(reply.send_at_us, l.fd, &in))
                continue;
            int32_t first = reply.stall_at >= 0 ? reply.stall_at : reply.length;
            write_all(l.fd, reply.bytes.data(), first);
            if (first < reply.length) {
                wait_until(now_us() + int64_t(reply.stall_ms) * 1000, l.fd, &in);
                write_all(l.fd, reply.bytes.data() + first, reply.length - first);
            }
            last_activity = now_us();
            if (devsim_reset_seen(t))
                reset_replied = last_activity;
        }
        if (!quiet) {
            const auto &v = devsim_violations(t);
            for (; logged < v.size(); ++logged)
                std::fprintf(stderr, "zmk-devsim: violation: %s\n", v[logged].c_str());
        }
    }
    close_line(&l);
    if (!link.empty())
        unlink(link.c_str());

    devsim_end end;
    end.elapsed_us = now_us() - start;
    end.start_us = start;
    if (in.first_rx && reset_replied)
        end.line_us = reset_replied - in.first_rx;
    end.expect = expect_path.empty() ? nullptr : &expect;
    end.how = how ? how : "signal";
    write_outputs(t, end, report_path, dump_path);
    bool ok = devsim_ok(t, &end);
    if (!quiet)
        std::fprintf(stderr, "zmk-devsim: session ended (%s): %s\n", end.how, ok ? "ok" : "not ok");
    devsim_free(t);
    return ok ? 0 : 1;
}
