#include "tools/devsim/pty.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

volatile std::sig_atomic_t stop_signal = 0;

namespace {

void on_signal(int sig) { stop_signal = sig; }

void pause_us(int64_t us)
{
    timespec ts{time_t(us / 1'000'000), long(us % 1'000'000) * 1000};
    nanosleep(&ts, nullptr);
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

bool open_pty(tty *l, uint32_t baud, std::string *error)
{
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

// Waits until `when` (monotonic microseconds), reading the line and passing
// on what the adapter has due meanwhile; false when a signal came.
bool wait_until(int64_t when, int fd, inbox *in, adapter *a)
{
    while (!stop_signal) {
        pty_release_due(a, fd);
        int64_t left = when - now_us();
        if (left <= 0)
            return true;
        int64_t us = pty_wait_cap(a, std::min<int64_t>(left, 20'000));
        if (in->eof || in->no_room())
            pause_us(us);
        else
            in->fill(fd, us);
    }
    return false;
}

// The device's bytes on their way: through the adapter when there is one.
void device_send(adapter *a, int fd, const uint8_t *p, int32_t n)
{
    if (!adapter_on(a)) {
        write_all(fd, p, n);
        return;
    }
    adapter_put(a, p, n, now_us());
    pty_release_due(a, fd);
}

} // namespace

void catch_signals()
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

int64_t now_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

bool open_tty(tty *l, const std::string &port, uint32_t baud, std::string *error)
{
    if (port.empty())
        return open_pty(l, baud, error);
    l->fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (l->fd < 0) {
        *error = port + ": " + std::strerror(errno);
        return false;
    }
    make_raw(l->fd, baud);
    l->path = port;
    return true;
}

void close_tty(tty *l)
{
    if (l->hold_fd >= 0)
        close(l->hold_fd);
    if (l->fd >= 0)
        close(l->fd);
    l->fd = l->hold_fd = -1;
}

inbox::inbox()
{
    bytes.reserve(cap);
    marks.reserve(256);
}

// ppoll, because a millisecond poll would make every paced reply up to 1 ms late.
void inbox::fill(int fd, int64_t us)
{
    if (all_read()) {
        bytes.clear();
        marks.clear();
        pos = 0;
    }
    if (fd < 0 || no_room())
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

int32_t inbox::next(const uint8_t **p, int64_t *when) const
{
    size_t i = marks.size();
    while (i > 0 && marks[i - 1].first > pos)
        --i;
    size_t end = i < marks.size() ? marks[i].first : bytes.size();
    *p = bytes.data() + pos;
    *when = marks[i - 1].second;
    return int32_t(end - pos);
}

bool send_reply(const devsim_reply &reply, int fd, inbox *in, adapter *a)
{
    if (!wait_until(reply.send_at_us, fd, in, a))
        return false;
    int32_t first = reply.stall_at >= 0 ? reply.stall_at : reply.length;
    device_send(a, fd, reply.bytes.data(), first);
    if (first < reply.length) {
        wait_until(now_us() + int64_t(reply.stall_ms) * 1000, fd, in, a);
        device_send(a, fd, reply.bytes.data() + first, reply.length - first);
    }
    return true;
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
    for (uint64_t before = ~0ull; before != in->total && !in->no_room() && !in->eof;) {
        before = in->total;
        in->fill(fd, 10'000);
    }
    lf->queued_until = int64_t(in->total);
    return false;
}

void idle(devsim_t *t, line_noise *noise, uint32_t baud, int fd, inbox *in, adapter *a)
{
    pty_release_due(a, fd);
    line_fault_state *lf = devsim_line(t);
    int64_t now = now_us(), left = 0;
    int32_t kind = line_fault_on(lf, now, &left) ? lf->cfg.kind : DEVSIM_LINE_NONE;
    if (kind == DEVSIM_LINE_DEAF) {
        pause_us(pty_wait_cap(a, std::min<int64_t>(left, 20'000)));
    } else if (kind == DEVSIM_LINE_CHATTER || kind == DEVSIM_LINE_TRICKLE) {
        in->fill(fd, pty_wait_cap(a, line_noise_pump(noise, kind, baud, fd, now, &lf->bytes)));
    } else {
        in->fill(fd, pty_wait_cap(a, 20'000));
    }
}

void pty_release_due(adapter *a, int fd)
{
    if (const int32_t n = adapter_due(a, now_us()); n > 0) {
        write_all(fd, a->held.data(), n);
        adapter_sent(a);
    }
}

int64_t pty_wait_cap(const adapter *a, int64_t us)
{
    const int64_t due = adapter_due_us(a);
    return due < 0 ? us : std::clamp<int64_t>(due - now_us(), 0, us);
}

void pty_flush_held(adapter *a, int fd)
{
    if (a->held.empty())
        return;
    write_all(fd, a->held.data(), int32_t(a->held.size()));
    adapter_sent(a);
}
