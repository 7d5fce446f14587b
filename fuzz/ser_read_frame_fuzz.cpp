// Random line bytes into the SLIP decoder, over a port that serves the input
// and then stays silent. The first input byte picks a destination size, and
// the destination is exactly that big, so a write past it is caught at once;
// the rest then goes through the whole receive path into a full-size buffer.
// This file stands in for the port backend, so nothing touches a real port.
#include "layers/ser.h"

#include <cstdlib>
#include <cstring>
#include <vector>

struct port_s {
    const uint8_t *data;
    size_t size;
    size_t pos;
    port_timeouts timeouts;
};

int port_read(port_handle t, void *dest, int n)
{
    size_t left = t->size - t->pos;
    size_t k = size_t(n) < left ? size_t(n) : left;
    std::memcpy(dest, t->data + t->pos, k);
    t->pos += k;
    return int(k);
}
int port_write(port_handle, const void *, int n) { return n; }
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

namespace {

int32_t delivered;
void top_rx(layer_t *, mlb_t *b) { delivered = b->data_length; }

void require(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int dest_size = data[0];
    port_s port{data + 1, size - 1, 0, {}};
    std::vector<uint8_t> dest(static_cast<size_t>(dest_size));
    int n = ser_read_frame(&port, dest.data(), dest_size);
    require(n >= 0 && n < (dest_size > 0 ? dest_size : 1));
    require(port.pos <= port.size);

    static mlb_t *buf = mlb_new(SER_MAX_FRAME);
    static layer_t ser{}, top{};
    port = {data + 1, size - 1, 0, {}};
    ser_attach(&ser, &port);
    top.rx = top_rx;
    ser.upper = &top;
    delivered = -1;
    ser_rx(&ser, buf);
    require(delivered >= 0 && delivered < SER_MAX_FRAME);
    require(port.pos == port.size); // the drain took the rest
    return 0;
}
