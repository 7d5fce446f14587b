// The port seam's one entry point: every call goes through the port's
// operations table, and a port found gone is remembered as gone.
#include "platform/serial.h"

// The operating system's own ports (platform/posix or platform/win32).
port_handle port_os_open(const char *name);

namespace {

port_opener opener;

port_status note(port_handle t, port_status s)
{
    if (s == PORT_GONE)
        t->gone = true;
    return s;
}

} // namespace

void port_set_opener(port_opener open) { opener = open; }

port_handle port_open(const char *name) { return opener ? opener(name) : port_os_open(name); }

void port_close(port_handle t)
{
    if (t)
        t->ops->close(t);
}

port_status port_read(port_handle t, void *dest, int n, int *got)
{
    *got = 0;
    if (n <= 0)
        return n == 0 ? PORT_DONE : PORT_FAILED;
    return note(t, t->ops->read(t, dest, n, got));
}

port_status port_write(port_handle t, const void *src, int n, int *taken)
{
    *taken = 0;
    if (n <= 0)
        return n == 0 ? PORT_DONE : PORT_FAILED;
    return note(t, t->ops->write(t, src, n, taken));
}

port_status port_get_line(port_handle t, port_line *line)
{
    return note(t, t->ops->get_line(t, line));
}

port_status port_set_line(port_handle t, const port_line *line)
{
    return note(t, t->ops->set_line(t, line));
}

port_status port_get_timeouts(port_handle t, port_timeouts *timeouts)
{
    return note(t, t->ops->get_timeouts(t, timeouts));
}

port_status port_set_timeouts(port_handle t, const port_timeouts *timeouts)
{
    return note(t, t->ops->set_timeouts(t, timeouts));
}

int port_is_gone(port_handle t) { return t && t->gone ? 1 : 0; }
