// Line settings on POSIX: the whole termios plus the DTR and RTS lines, as
// one opaque record that portable code saves and restores whole.
#include "platform/posix/posix_port.h"

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

// What port_line holds on this platform.
struct posix_line {
    termios tio;
    int modem;       // TIOCM_* bits
    int modem_known; // 0: the modem lines are left as they are on set
};
static_assert(sizeof(posix_line) <= sizeof(port_line));

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

} // namespace

port_status posix_get_line(port_handle port, port_line *line)
{
    auto *t = static_cast<posix_port *>(port);
    posix_line pl{};
    if (tcgetattr(t->fd, &pl.tio) != 0)
        return PORT_FAILED;
    pl.modem_known = ioctl(t->fd, TIOCMGET, &pl.modem) == 0;
    std::memset(line->raw, 0, sizeof line->raw);
    std::memcpy(line->raw, &pl, sizeof pl);
    return PORT_DONE;
}

port_status posix_set_line(port_handle port, const port_line *line)
{
    auto *t = static_cast<posix_port *>(port);
    posix_line pl;
    std::memcpy(&pl, line->raw, sizeof pl);
    if (tcsetattr(t->fd, TCSANOW, &pl.tio) != 0)
        return PORT_FAILED;
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
    return PORT_DONE;
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
