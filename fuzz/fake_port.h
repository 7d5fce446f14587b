// A port backend in memory, for programs that drive the link layer without a
// device: reads serve the bytes loaded with fake_port_serve and then time out
// (or fail, when asked); writes are taken whole and shown to an optional hook.
// The port functions are defined here, not inline, because the link layer
// declares them as ordinary functions: include this header in exactly one
// source file of a program.
#pragma once

#include "platform/serial.h"

#include <cstddef>
#include <cstring>

struct port_s {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    bool fail = false; // reads past the bytes fail instead of timing out
    port_timeouts timeouts{};
    void (*on_write)(void *ctx, const uint8_t *p, int n) = nullptr;
    void *ctx = nullptr;
};

inline void fake_port_serve(port_s *t, const uint8_t *data, size_t size, bool fail = false)
{
    t->data = data;
    t->size = size;
    t->pos = 0;
    t->fail = fail;
}

int port_read(port_handle t, void *dest, int n)
{
    size_t left = t->size - t->pos;
    if (left == 0 && t->fail)
        return -1;
    size_t k = n <= 0 ? 0 : size_t(n) < left ? size_t(n) : left;
    if (k)
        std::memcpy(dest, t->data + t->pos, k);
    t->pos += k;
    return int(k);
}

int port_is_gone(port_handle) { return 0; }

int port_write(port_handle t, const void *p, int n)
{
    if (t->on_write)
        t->on_write(t->ctx, static_cast<const uint8_t *>(p), n);
    return n;
}

int port_get_line(port_handle, port_line *line)
{
    std::memset(line, 0, sizeof *line);
    return 0;
}
int port_set_line(port_handle, const port_line *) { return 0; }
void port_line_make_raw(port_line *, uint32_t) {}

int port_get_timeouts(port_handle t, port_timeouts *to)
{
    *to = t->timeouts;
    return 0;
}
int port_set_timeouts(port_handle t, const port_timeouts *to)
{
    t->timeouts = *to;
    return 0;
}
