#include "layers/ser.h"

#include "framework/zalloc.h"
#include "framework/zassert.h"
#include "platform/tick.h"

#include <algorithm>
#include <array>
#include <cstring>

// The layer's private state: its port, what the port last did and when.
struct ser_link {
    port_handle port;
    port_status outcome;
    uint32_t baud;
    uint64_t sent_us; // the end of the last command's last byte on the wire
    int32_t reply_us;
};

namespace {

saved_port saved_ports[SER_SAVED_SLOTS];
int saved_count;

// Every content byte escaped, plus the two END bytes.
constexpr int SER_MAX_ENCODED = slip_encoded_max(SER_MAX_FRAME);

// Bytes at the line's rate, 10 bits each.
uint64_t wire_us(uint32_t baud, int bytes) { return baud ? uint64_t(bytes) * 10000000u / baud : 0; }

// From the command's end on the wire to the start of the reply's first byte:
// reads take one byte, and that byte's own wire time is no wait. 0 when it
// was on its way already.
int32_t reply_wait(const ser_link *link, uint64_t first_us)
{
    const uint64_t began = first_us - std::min(first_us, wire_us(link->baud, 1));
    if (began <= link->sent_us)
        return 0;
    return int32_t(std::min<uint64_t>(began - link->sent_us, INT32_MAX));
}

// The newest slot of a port holds the time-outs it has now.
int find_newest_saved(port_handle port)
{
    for (int i = saved_count - 1; i >= 0; --i)
        if (saved_ports[i].handle == port)
            return i;
    return -1;
}

// Reads and discards until the line has been quiet for about 10 ms, then
// leaves the port with the time-outs it had, or, when those could not be
// read, with the ones ser_configure set.
void drain(port_handle port)
{
    port_timeouts held{};
    bool restore = port_get_timeouts(port, &held) == PORT_DONE;
    if (!restore) {
        int i = find_newest_saved(port);
        if (i >= 0) {
            held = saved_ports[i].configured;
            restore = true;
        }
    }
    port_timeouts quiet = held;
    quiet.ReadIntervalTimeout = 10;
    quiet.ReadTotalTimeoutMultiplier = 0;
    quiet.ReadTotalTimeoutConstant = 10;
    (void)port_set_timeouts(port, &quiet);

    // A line that never goes quiet (a device printing without pause, a wrong
    // baud rate) is left to the next drain once the bound has passed.
    std::array<uint8_t, SER_DRAIN_SCRATCH> scratch;
    const uint32_t start = platform_tick_ms();
    int got = 0;
    while (platform_tick_ms() - start < SER_DRAIN_MS &&
           port_read(port, scratch.data(), int(scratch.size()), &got) == PORT_DONE) {
    }
    if (restore)
        (void)port_set_timeouts(port, &held);
}

} // namespace

void ser_attach(layer_t *t, port_handle port, uint32_t baud)
{
    ZMK_ASSERT(t);
    ZMK_ASSERT(!t->p_);
    auto *link = static_cast<ser_link *>(zmk_zalloc(sizeof(ser_link)));
    ZMK_ASSERT(link);
    link->port = port;
    link->outcome = PORT_TIMED_OUT;
    link->baud = baud;
    link->reply_us = -1;
    t->tx = ser_tx;
    t->rx = ser_rx;
    t->p_ = link;
}

void ser_detach(layer_t *t)
{
    ZMK_ASSERT(t);
    zmk_free(t->p_);
    t->p_ = nullptr;
}

port_status ser_outcome(const layer_t *t)
{
    ZMK_ASSERT(t && t->p_);
    return static_cast<const ser_link *>(t->p_)->outcome;
}

int32_t ser_reply_us(const layer_t *t)
{
    ZMK_ASSERT(t && t->p_);
    return static_cast<const ser_link *>(t->p_)->reply_us;
}

// A write may return once the driver has the bytes (a UART's queue) or once
// they have left (a driver that waits): the later of the two ends counts.
void ser_tx(layer_t *t, mlb_t *buffer)
{
    ZMK_ASSERT(t);
    auto *link = static_cast<ser_link *>(t->p_);
    if (!link || !link->port)
        return;
    const uint64_t start = platform_tick_us();
    int wire = 0;
    (void)ser_write_frame(link->port, mlb_header(buffer), mlb_length(buffer), &link->outcome,
                          &wire);
    link->sent_us = std::max(platform_tick_us(), start + wire_us(link->baud, wire));
}

void ser_rx(layer_t *t, mlb_t *buffer)
{
    ZMK_ASSERT(t);
    auto *link = static_cast<ser_link *>(t->p_);
    if (!link || !link->port)
        return;
    port_handle port = link->port;
    mlb_reset(buffer, SER_MAX_FRAME, 0);
    // A port found gone when writing stays gone: the read cannot undo that.
    port_status read = PORT_TIMED_OUT;
    uint64_t first_us = 0;
    int n = ser_read_frame(port, mlb_data(buffer), SER_MAX_FRAME, &read, &first_us);
    link->outcome = link->outcome == PORT_GONE ? PORT_GONE : read;
    link->reply_us = first_us ? reply_wait(link, first_us) : -1;
    drain(port);
    mlb_reset(buffer, n, 0);
    ZMK_ASSERT(t->upper);
    ZMK_ASSERT(t->upper->rx);
    t->upper->rx(t->upper, buffer);
}

int ser_write_frame(port_handle port, const uint8_t *data, int size, port_status *outcome,
                    int *wire)
{
    port_status unused;
    port_status &said = outcome ? *outcome : unused;
    said = PORT_DONE;
    int none = 0;
    int &handed = wire ? *wire : none;
    handed = 0;
    if (size == 0)
        return 0;
    if (size < 0 || size > SER_MAX_FRAME || !data)
        return -1;
    std::array<uint8_t, SER_MAX_ENCODED> frame;
    const int len = slip_encode(data, size, frame.data(), int(frame.size()));
    // The port has had the whole write time-out: a frame it did not take
    // whole is given up, and the command simply goes again on the next tick.
    int taken = 0;
    said = port_write(port, frame.data(), len, &taken);
    handed = taken;
    return said == PORT_DONE ? size : -1;
}

int ser_read_byte(port_handle port)
{
    uint8_t b = 0;
    int got = 0;
    return port_read(port, &b, 1, &got) == PORT_DONE ? int(b) : -1;
}

int ser_read_frame(port_handle port, uint8_t *dest, int dest_size, port_status *outcome,
                   uint64_t *first_us)
{
    port_status unused;
    port_status &said = outcome ? *outcome : unused;
    said = PORT_TIMED_OUT;
    uint64_t no_time = 0;
    uint64_t &first = first_us ? *first_us : no_time;
    first = 0;
    const uint32_t start = platform_tick_ms();
    slip_decoder dec;
    slip_decoder_init(&dec, dest, dest_size);
    for (;;) {
        // A trickle of bytes that never ends a frame is cut off here.
        if (platform_tick_ms() - start >= SER_FRAME_READ_MS)
            return 0;
        uint8_t b = 0;
        int got = 0;
        const port_status s = port_read(port, &b, 1, &got);
        if (s != PORT_DONE) {
            said = s;
            return 0;
        }
        if (first == 0)
            first = platform_tick_us();
        switch (slip_decode(&dec, b)) {
        case SLIP_FRAME: said = PORT_DONE; return dec.count;
        case SLIP_FULL: return 0;
        case SLIP_MORE: break;
        }
    }
}

int ser_configure(port_handle port, uint32_t baud, uint32_t read_timeout_us)
{
    if (saved_count >= SER_SAVED_SLOTS)
        return -1;
    saved_port &slot = saved_ports[saved_count];
    if (port_get_line(port, &slot.dcb) != PORT_DONE)
        return -1;
    if (port_get_timeouts(port, &slot.timeouts) != PORT_DONE)
        return -1;
    slot.handle = port;

    port_line line = slot.dcb;
    port_line_make_raw(&line, baud);
    (void)port_set_line(port, &line);

    port_timeouts to = slot.timeouts;
    to.ReadIntervalTimeout = PORT_MAXDWORD;
    to.ReadTotalTimeoutMultiplier = PORT_MAXDWORD;
    to.ReadTotalTimeoutConstant = read_timeout_us / 1000;
    // Without a write time-out a device that stops reading the line would
    // block the write, and the program, for good once the driver is full.
    to.WriteTotalTimeoutMultiplier = baud ? (20000 + baud - 1) / baud : 1;
    to.WriteTotalTimeoutConstant = SER_WRITE_MARGIN_MS;
    slot.configured = to;
    (void)port_set_timeouts(port, &to);

    ++saved_count;
    return 0;
}

int ser_find_saved(port_handle port)
{
    for (int i = 0; i < saved_count; ++i)
        if (saved_ports[i].handle == port)
            return i;
    return -1;
}

int ser_restore(port_handle port)
{
    int i = ser_find_saved(port);
    if (i < 0)
        return -1;
    (void)port_set_line(port, &saved_ports[i].dcb);
    (void)port_set_timeouts(port, &saved_ports[i].timeouts);
    return 0;
}

void ser_saved_clear()
{
    std::memset(saved_ports, 0, sizeof saved_ports);
    saved_count = 0;
}
