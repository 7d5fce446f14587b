#include "tests/support/mem_port.h"

#include <cstring>

namespace {

mem_port *self(port_handle t)
{
    auto *m = static_cast<mem_port *>(t);
    ++m->calls;
    return m;
}

port_status mem_read(port_handle port, void *dest, int n, int *got)
{
    mem_port *t = self(port);
    const size_t left = t->size - t->pos;
    if (left == 0)
        return t->gone_at_end ? PORT_GONE : PORT_TIMED_OUT;
    const size_t k = size_t(n) < left ? size_t(n) : left;
    std::memcpy(dest, t->data + t->pos, k);
    t->pos += k;
    *got = int(k);
    return PORT_DONE;
}

port_status mem_write(port_handle port, const void *src, int n, int *taken)
{
    mem_port *t = self(port);
    if (t->on_write)
        t->on_write(t->ctx, static_cast<const uint8_t *>(src), n);
    *taken = n;
    return PORT_DONE;
}

port_status mem_get_line(port_handle t, port_line *line)
{
    *line = self(t)->line;
    return PORT_DONE;
}

port_status mem_set_line(port_handle t, const port_line *line)
{
    self(t)->line = *line;
    return PORT_DONE;
}

port_status mem_get_timeouts(port_handle t, port_timeouts *to)
{
    *to = self(t)->timeouts;
    return PORT_DONE;
}

port_status mem_set_timeouts(port_handle t, const port_timeouts *to)
{
    self(t)->timeouts = *to;
    return PORT_DONE;
}

void mem_close(port_handle) {}

constexpr port_ops mem_ops{mem_read,         mem_write,        mem_get_line, mem_set_line,
                           mem_get_timeouts, mem_set_timeouts, mem_close};

} // namespace

void mem_port_init(mem_port *t)
{
    *t = mem_port{};
    t->ops = &mem_ops;
}

void mem_port_serve(mem_port *t, const uint8_t *data, size_t size, bool gone_at_end)
{
    t->data = data;
    t->size = size;
    t->pos = 0;
    t->gone_at_end = gone_at_end;
}
