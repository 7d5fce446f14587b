// The port seam on termios + poll(): a terminal device opened non-blocking,
// reads and writes that wait in poll() under the five-value time-out record
// (VTIME is never used: it only counts in tenths of a second).
#include "platform/latency.h"
#include "platform/port_error.h"
#include "platform/posix/posix_port.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace {

posix_port *self(port_handle t) { return static_cast<posix_port *>(t); }

port_status fail(int code)
{
    errno = code;
    return PORT_FAILED;
}

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_until(int64_t deadline)
{
    for (int64_t left = deadline - now_ms(); left > 0; left = deadline - now_ms())
        poll(nullptr, 0, int(left));
}

// Waits up to `ms` (-1: no limit) for `events`; the revents, 0 on time-out.
int wait_for(int fd, short events, int64_t ms)
{
    pollfd pfd{fd, events, 0};
    for (;;) {
        int r = poll(&pfd, 1, ms < 0 ? -1 : int(std::min<int64_t>(ms, 0x7FFFFFFF)));
        if (r >= 0)
            return r == 0 ? 0 : pfd.revents;
        if (errno != EINTR)
            return POLLERR;
    }
}

// The errors a vanished device gives: the line hung up, the adapter unplugged.
bool is_gone_error(int e) { return e == EIO || e == ENXIO || e == ENODEV || e == EPIPE; }

port_status gone()
{
    errno = EIO;
    return PORT_GONE;
}

// Drivers such as USB-serial adapters otherwise hold short replies back for
// several milliseconds; a driver that refuses simply stays as it is.
void ask_low_latency(int fd)
{
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
        ss.flags |= ASYNC_LOW_LATENCY;
        (void)ioctl(fd, TIOCSSERIAL, &ss);
    }
#else
    (void)fd;
#endif
}

// A terminal device, and nothing else, is a port: a regular file must never be
// written, a FIFO or /dev/null would swallow frames for ever.
bool is_terminal(int fd)
{
    struct stat st {};
    termios tio{};
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && tcgetattr(fd, &tio) == 0;
}

// Exclusive like a Windows port opened with share mode 0: TIOCEXCL keeps
// other opens out (except root's), the lock keeps out any cooperating
// program, root or not. Returns 0 or an errno.
int take_port(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? EBUSY : errno;
    (void)ioctl(fd, TIOCEXCL);
    ask_low_latency(fd);
    return 0;
}

// When the bytes still queued in the driver will have left the wire.
int64_t transmission_end(const posix_port *t, int64_t now)
{
    int queued = 0;
    if (t->baud == 0 || ioctl(t->fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
        return now;
    return now + (int64_t(queued) * 10 * 1000 + t->baud - 1) / t->baud;
}

// How a read under the five-value time-out record waits.
struct read_plan {
    int64_t deadline;   // -1: no total limit
    int64_t interval;   // -1: no limit between bytes
    bool return_on_any; // return as soon as something has arrived
};

read_plan plan_read(const posix_port *t, int n, int64_t start)
{
    const port_timeouts &to = t->timeouts;
    // {MAXDWORD, 0, 0}: whatever has arrived, at once.
    // {MAXDWORD, MAXDWORD, C}: that, or wait up to C ms for the first byte,
    // counted from the end of the transmission.
    const bool immediate = to.ReadIntervalTimeout == PORT_MAXDWORD &&
                           to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant == 0;
    const bool first_byte =
        to.ReadIntervalTimeout == PORT_MAXDWORD && to.ReadTotalTimeoutMultiplier == PORT_MAXDWORD &&
        to.ReadTotalTimeoutConstant > 0 && to.ReadTotalTimeoutConstant < PORT_MAXDWORD;
    read_plan p{-1, -1, immediate || first_byte};
    if (immediate) {
        p.deadline = start;
    } else if (first_byte) {
        p.deadline = std::max(start, t->tx_end_ms) + to.ReadTotalTimeoutConstant;
    } else {
        int64_t total = int64_t(to.ReadTotalTimeoutMultiplier) * n + to.ReadTotalTimeoutConstant;
        if (total > 0)
            p.deadline = start + std::min(total, int64_t{1} << 40);
        if (to.ReadIntervalTimeout > 0 && to.ReadIntervalTimeout != PORT_MAXDWORD)
            p.interval = to.ReadIntervalTimeout;
    }
    return p;
}

// How long the next wait may last: up to the deadline, and once bytes have
// come, up to the interval after the last one. -1: no limit.
int64_t next_wait(const read_plan &p, int got, int64_t last_byte, int64_t now)
{
    int64_t wait = p.deadline < 0 ? -1 : std::max<int64_t>(p.deadline - now, 0);
    if (got > 0 && p.interval >= 0) {
        int64_t iw = std::max<int64_t>(last_byte + p.interval - now, 0);
        wait = wait < 0 ? iw : std::min(wait, iw);
    }
    return wait;
}

// Reads until the plan says stop; returns 0, or the errno of a failed read.
int read_some(posix_port *t, const read_plan &plan, uint8_t *out, int n, int *got)
{
    int64_t last_byte = 0;
    while (!t->gone) {
        const int64_t wait = next_wait(plan, *got, last_byte, now_ms());
        const int ev = wait_for(t->fd, POLLIN, wait);
        if (ev == 0) {
            if (wait == 0)
                return 0; // time-out: the deadline or the interval has passed
            continue;
        }
        // The line is raw with VMIN 1: read returns what has arrived, up to n.
        ssize_t r = (ev & POLLIN) ? read(t->fd, out + *got, size_t(n - *got)) : 0;
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (r < 0 && !is_gone_error(errno))
            return errno;
        if (r <= 0) {
            t->gone = true; // readable but empty is the end of the line
            return 0;
        }
        *got += int(r);
        last_byte = now_ms();
        if (*got == n || plan.return_on_any)
            return 0;
    }
    return 0;
}

port_status posix_read(port_handle port, void *dest, int n, int *got)
{
    posix_port *t = self(port);
    const read_plan plan = plan_read(t, n, now_ms());
    const int error = read_some(t, plan, static_cast<uint8_t *>(dest), n, got);
    if (*got > 0)
        return PORT_DONE;
    if (error)
        return fail(error);
    if (!t->gone)
        return PORT_TIMED_OUT;
    // A dead line fails every read at once; waiting out the time-out keeps a
    // caller that simply reads again from turning into a busy loop.
    if (plan.deadline >= 0)
        sleep_until(plan.deadline);
    return gone();
}

port_status posix_write(port_handle port, const void *src, int n, int *taken)
{
    posix_port *t = self(port);
    if (t->gone)
        return gone();
    const port_timeouts &to = t->timeouts;
    const int64_t total =
        int64_t(to.WriteTotalTimeoutMultiplier) * n + to.WriteTotalTimeoutConstant;
    const int64_t deadline = total > 0 ? now_ms() + total : -1;
    const auto *p = static_cast<const uint8_t *>(src);
    while (*taken < n) {
        ssize_t w = write(t->fd, p + *taken, size_t(n - *taken));
        if (w > 0) {
            *taken += int(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN)
            return is_gone_error(errno) ? gone() : fail(errno);
        // The driver's buffer is full: wait for room, but not past the deadline.
        const int64_t left = deadline - now_ms();
        if (deadline >= 0 && left <= 0)
            break;
        if (wait_for(t->fd, POLLOUT, deadline < 0 ? -1 : left) & (POLLHUP | POLLNVAL))
            return gone();
    }
    t->tx_end_ms = transmission_end(t, now_ms());
    return *taken == n ? PORT_DONE : PORT_TIMED_OUT;
}

port_status posix_get_timeouts(port_handle t, port_timeouts *timeouts)
{
    *timeouts = self(t)->timeouts;
    return PORT_DONE;
}

port_status posix_set_timeouts(port_handle t, const port_timeouts *timeouts)
{
    self(t)->timeouts = *timeouts;
    return PORT_DONE;
}

void posix_close(port_handle t)
{
    (void)ioctl(self(t)->fd, TIOCNXCL);
    close(self(t)->fd);
    delete self(t);
}

constexpr port_ops posix_ops{posix_read,         posix_write,        posix_get_line, posix_set_line,
                             posix_get_timeouts, posix_set_timeouts, posix_close};

} // namespace

port_handle port_os_open(const char *name)
{
    struct stat st {};
    if (!name || (stat(name, &st) == 0 && !S_ISCHR(st.st_mode))) {
        fail(name ? ENOTTY : EINVAL); // never opened, so never touched
        return nullptr;
    }
    // O_NONBLOCK: the open must not wait for carrier, and writes must not
    // wait past their deadline.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(errno == EISDIR ? ENOTTY : errno);
        return nullptr;
    }
    // Another program on the line would read our replies and write into our
    // frames; TIOCEXCL and the lock only keep out openers that come later.
    int e = is_terminal(fd) ? 0 : ENOTTY;
    if (!e && port_holders(name, nullptr, 0) > 0)
        e = EBUSY;
    if (!e)
        e = take_port(fd);
    if (e) {
        close(fd);
        fail(e);
        return nullptr;
    }
    // Low latency asked above may not have taken: the adapter's timer is set
    // where it may be; the run reads it back to say so.
    port_latency latency;
    (void)port_latency_lower(name, &latency);
    auto *t = new posix_port{};
    t->ops = &posix_ops;
    t->fd = fd;
    return t;
}
