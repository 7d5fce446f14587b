// The port seam on termios + poll(). Read time-outs follow the five-value
// comm time-out record exactly (see platform/serial.h); VTIME is never used,
// it only counts in tenths of a second.
#include "platform/serial.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

struct port_s {
    int fd;
    bool tty; // decided at open: a line that hangs up later stays a port
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
    return -1;
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

struct speed_entry {
    uint32_t baud;
    speed_t code;
};

constexpr speed_entry speeds[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

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

} // namespace

port_handle port_open(const char *name)
{
    if (!name) {
        fail(EINVAL);
        return nullptr;
    }
    // O_NONBLOCK only for the open itself: it must not wait for carrier.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(errno);
        return nullptr;
    }
    // Exclusive like a Windows port opened with share mode 0: TIOCEXCL keeps
    // other opens out (except root's), the lock keeps out any cooperating
    // program, root or not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        fail(e);
        return nullptr;
    }
    const bool tty = isatty(fd);
    if (tty) {
        (void)ioctl(fd, TIOCEXCL);
        ask_low_latency(fd);
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int e = errno;
        close(fd);
        fail(e);
        return nullptr;
    }
    auto *t = static_cast<port_s *>(std::calloc(1, sizeof(port_s)));
    if (!t) {
        close(fd);
        fail(ENOMEM);
        return nullptr;
    }
    t->fd = fd;
    t->tty = tty;
    return t;
}

void port_close(port_handle t)
{
    if (!t)
        return;
    if (t->tty)
        (void)ioctl(t->fd, TIOCNXCL);
    close(t->fd);
    std::free(t);
}

int port_write(port_handle t, const void *data, int n)
{
    if (!t || n < 0)
        return fail(EINVAL);
    if (n == 0)
        return 0;
    for (;;) {
        ssize_t r = write(t->fd, data, size_t(n));
        if (r >= 0)
            return int(r);
        if (errno != EINTR)
            return fail(errno);
    }
}

int port_read(port_handle t, void *dest, int n)
{
    if (!t || n < 0 || (n > 0 && !dest))
        return fail(EINVAL);
    if (n == 0)
        return 0;
    const port_timeouts &to = t->timeouts;
    const int64_t start = now_ms();
    // {MAXDWORD, 0, 0}: whatever has arrived, at once.
    // {MAXDWORD, MAXDWORD, C}: that, or wait up to C ms for the first byte.
    const bool immediate = to.ReadIntervalTimeout == PORT_MAXDWORD &&
                           to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant == 0;
    const bool first_byte =
        to.ReadIntervalTimeout == PORT_MAXDWORD && to.ReadTotalTimeoutMultiplier == PORT_MAXDWORD &&
        to.ReadTotalTimeoutConstant > 0 && to.ReadTotalTimeoutConstant < PORT_MAXDWORD;
    int64_t total = -1;    // -1: no total limit
    int64_t interval = -1; // -1: no limit between bytes
    if (immediate) {
        total = 0;
    } else if (first_byte) {
        total = to.ReadTotalTimeoutConstant;
    } else {
        int64_t t64 = int64_t(to.ReadTotalTimeoutMultiplier) * n + to.ReadTotalTimeoutConstant;
        if (t64 > 0)
            total =
                t64 < (int64_t{1} << 40) ? t64 : int64_t{1} << 40; // keeps start + total in range
        if (to.ReadIntervalTimeout > 0 && to.ReadIntervalTimeout != PORT_MAXDWORD)
            interval = to.ReadIntervalTimeout;
    }
    const bool return_on_any = immediate || first_byte;
    const int64_t deadline = total < 0 ? -1 : start + total;

    auto *out = static_cast<uint8_t *>(dest);
    int got = 0;
    int64_t last_byte = start;
    int error = 0;
    for (;;) {
        const int64_t now = now_ms();
        int64_t wait = -1;
        if (deadline >= 0)
            wait = deadline > now ? deadline - now : 0;
        if (got > 0 && interval >= 0) {
            int64_t iw = last_byte + interval > now ? last_byte + interval - now : 0;
            wait = wait < 0 ? iw : (iw < wait ? iw : wait);
        }
        pollfd pfd{t->fd, POLLIN, 0};
        int r = poll(&pfd, 1, wait < 0 ? -1 : (wait > 0x7FFFFFFF ? 0x7FFFFFFF : int(wait)));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (r == 0) {
            if (wait == 0 || (deadline >= 0 && now_ms() >= deadline))
                break;
            if (got > 0 && interval >= 0 && now_ms() >= last_byte + interval)
                break;
            continue;
        }
        if (!(pfd.revents & POLLIN)) {
            error = EIO; // hang-up or error without data
            break;
        }
        // The line is raw with VMIN 1: read returns what has arrived, up to n.
        ssize_t rr = read(t->fd, out + got, size_t(n - got));
        if (rr < 0 && errno == EINTR)
            continue;
        if (rr <= 0) {
            error = rr < 0 ? errno : EIO; // readable but nothing: end of file
            break;
        }
        got += int(rr);
        last_byte = now_ms();
        if (got == n || return_on_any)
            break;
    }
    if (error == 0 || got > 0)
        return got;
    // A dead line fails every read at once; waiting out the time-out keeps a
    // caller that simply reads again from turning into a busy loop.
    if (deadline >= 0)
        sleep_until(deadline);
    return fail(error);
}

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
    // A file that is not a terminal has no comm time-outs, as on Windows.
    if (!t->tty)
        return fail(ENOTTY);
    *timeouts = t->timeouts;
    return 0;
}

int port_set_timeouts(port_handle t, const port_timeouts *timeouts)
{
    if (!t || !timeouts)
        return fail(EINVAL);
    if (!t->tty)
        return fail(ENOTTY);
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
