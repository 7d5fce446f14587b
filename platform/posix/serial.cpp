// The port seam on termios + poll(). Read time-outs follow the five-value
// comm time-out record exactly (see platform/serial.h); VTIME is never used,
// it only counts in tenths of a second.
#include "platform/serial.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

struct port_s {
    int fd;
    bool gone;         // hung up or unplugged; stays so
    uint32_t baud;     // of the line settings last issued, 0 when unknown
    int64_t tx_end_ms; // when the bytes last written have left the wire
    port_timeouts timeouts;
};

namespace {

uint32_t last_error;

// What port_line holds on this platform.
struct posix_line {
    termios tio;
    int modem;       // TIOCM_* bits
    int modem_known; // 0: the modem lines are left as they are on set
};
static_assert(sizeof(posix_line) <= sizeof(port_line));

int fail(int code)
{
    last_error = uint32_t(code);
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
        int r = poll(&pfd, 1, ms < 0 ? -1 : int(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms));
        if (r >= 0)
            return r == 0 ? 0 : pfd.revents;
        if (errno != EINTR)
            return POLLERR;
    }
}

// The errors a vanished device gives: the line hung up, the adapter unplugged.
bool is_gone_error(int e) { return e == EIO || e == ENXIO || e == ENODEV || e == EPIPE; }

int gone(port_handle t)
{
    t->gone = true;
    fail(EIO);
    return PORT_GONE;
}

struct speed_entry {
    uint32_t baud;
    speed_t code;
};

constexpr speed_entry speeds[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

uint32_t baud_of(const termios &tio)
{
    for (const speed_entry &s : speeds)
        if (s.code == cfgetospeed(&tio))
            return s.baud;
    return 0;
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
int64_t transmission_end(const port_s *t, int64_t now)
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

read_plan plan_read(const port_s *t, int n, int64_t start)
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

} // namespace

port_handle port_open(const char *name)
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
    int e = is_terminal(fd) ? take_port(fd) : ENOTTY;
    auto *t = e ? nullptr : static_cast<port_s *>(std::calloc(1, sizeof(port_s)));
    if (!t) {
        close(fd);
        fail(e ? e : ENOMEM);
        return nullptr;
    }
    t->fd = fd;
    return t;
}

void port_close(port_handle t)
{
    if (!t)
        return;
    (void)ioctl(t->fd, TIOCNXCL);
    close(t->fd);
    std::free(t);
}

int port_write(port_handle t, const void *data, int n)
{
    if (!t || n < 0 || (n > 0 && !data))
        return fail(EINVAL);
    if (t->gone)
        return gone(t);
    const port_timeouts &to = t->timeouts;
    const int64_t total =
        int64_t(to.WriteTotalTimeoutMultiplier) * n + to.WriteTotalTimeoutConstant;
    const int64_t deadline = total > 0 ? now_ms() + total : -1;
    const auto *p = static_cast<const uint8_t *>(data);
    int done = 0;
    while (done < n) {
        ssize_t w = write(t->fd, p + done, size_t(n - done));
        if (w > 0) {
            done += int(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN)
            return is_gone_error(errno) ? gone(t) : fail(errno);
        // The driver's buffer is full: wait for room, but not past the deadline.
        const int64_t left = deadline - now_ms();
        if (deadline >= 0 && left <= 0)
            break;
        int ev = wait_for(t->fd, POLLOUT, deadline < 0 ? -1 : left);
        if (ev & (POLLHUP | POLLNVAL))
            return gone(t);
    }
    t->tx_end_ms = transmission_end(t, now_ms());
    return done;
}

int port_read(port_handle t, void *dest, int n)
{
    if (!t || n < 0 || (n > 0 && !dest))
        return fail(EINVAL);
    if (n == 0)
        return 0;
    const read_plan plan = plan_read(t, n, now_ms());
    auto *out = static_cast<uint8_t *>(dest);
    int got = 0;
    int64_t last_byte = 0;
    while (!t->gone) {
        const int64_t wait = next_wait(plan, got, last_byte, now_ms());
        const int ev = wait_for(t->fd, POLLIN, wait);
        if (ev == 0) {
            if (wait == 0)
                break; // time-out: the deadline or the interval has passed
            continue;
        }
        // The line is raw with VMIN 1: read returns what has arrived, up to n.
        ssize_t r = (ev & POLLIN) ? read(t->fd, out + got, size_t(n - got)) : 0;
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (r <= 0) {
            // Readable but empty is the end of the line; so is a hang-up.
            if (r == 0 || is_gone_error(errno))
                t->gone = true;
            else
                return got > 0 ? got : fail(errno);
            break;
        }
        got += int(r);
        last_byte = now_ms();
        if (got == n || plan.return_on_any)
            break;
    }
    if (got > 0 || !t->gone)
        return got;
    // A dead line fails every read at once; waiting out the time-out keeps a
    // caller that simply reads again from turning into a busy loop.
    if (plan.deadline >= 0)
        sleep_until(plan.deadline);
    return gone(t);
}

int port_is_gone(port_handle t) { return t && t->gone ? 1 : 0; }

int port_get_line(port_handle t, port_line *line)
{
    if (!t || !line)
        return fail(EINVAL);
    posix_line pl{};
    if (tcgetattr(t->fd, &pl.tio) != 0)
        return fail(errno);
    pl.modem_known = ioctl(t->fd, TIOCMGET, &pl.modem) == 0;
    std::memset(line->raw, 0, sizeof line->raw);
    std::memcpy(line->raw, &pl, sizeof pl);
    return 0;
}

int port_set_line(port_handle t, const port_line *line)
{
    if (!t || !line)
        return fail(EINVAL);
    posix_line pl;
    std::memcpy(&pl, line->raw, sizeof pl);
    if (tcsetattr(t->fd, TCSANOW, &pl.tio) != 0)
        return fail(errno);
    t->baud = baud_of(pl.tio);
    if (pl.modem_known) {
        // A pty has no modem lines and answers ENOTTY: nothing to do then.
        int off = ~pl.modem & (TIOCM_DTR | TIOCM_RTS);
        int on = pl.modem & (TIOCM_DTR | TIOCM_RTS);
        if (off)
            (void)ioctl(t->fd, TIOCMBIC, &off);
        if (on)
            (void)ioctl(t->fd, TIOCMBIS, &on);
    }
    return 0;
}

void port_line_make_raw(port_line *line, uint32_t baud)
{
    posix_line pl;
    std::memcpy(&pl, line->raw, sizeof pl);
    termios &tio = pl.tio;
    tio.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                             IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~tcflag_t(OPOST);
    tio.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    // Reads wait in poll(); read() itself must return what is there.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    // A speed the table lacks keeps the port's current one.
    for (const speed_entry &s : speeds) {
        if (s.baud == baud) {
            cfsetispeed(&tio, s.code);
            cfsetospeed(&tio, s.code);
        }
    }
    pl.modem &= ~(TIOCM_DTR | TIOCM_RTS);
    pl.modem_known = 1;
    std::memcpy(line->raw, &pl, sizeof pl);
}

int port_get_timeouts(port_handle t, port_timeouts *timeouts)
{
    if (!t || !timeouts)
        return fail(EINVAL);
    *timeouts = t->timeouts;
    return 0;
}

int port_set_timeouts(port_handle t, const port_timeouts *timeouts)
{
    if (!t || !timeouts)
        return fail(EINVAL);
    t->timeouts = *timeouts;
    return 0;
}

uint32_t port_last_error() { return last_error; }

int port_error_text(uint32_t code, char *dest, int size)
{
    if (!dest || size <= 0)
        return 0;
    const char *text = strerror(int(code));
    size_t len = text ? std::strlen(text) : 0;
    if (len == 0 || len + 1 > size_t(size))
        return 0;
    std::memcpy(dest, text, len + 1);
    return int(len);
}
