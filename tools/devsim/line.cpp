#include "tools/devsim/line.h"

namespace {

void begin_frame(frame_reader *r, int64_t now_us, violation_log *log)
{
    r->started = true;
    r->first_us = now_us;
    r->wire_bytes = 0;
    log->frame = r->frames + 1;
}

frame_event end_frame(frame_reader *r, bool good)
{
    r->length = good ? r->slip.count : 0;
    ++r->frames;
    r->started = false;
    r->broken = false;
    r->opened = true; // a closing END also opens what follows
    slip_decoder_reset(&r->slip);
    return good ? FRAME_GOOD : FRAME_BROKEN;
}

frame_event take_end(frame_reader *r, violation_log *log)
{
    if (r->broken)
        return end_frame(r, false);
    if (r->slip.esc) {
        violate(log, "frame ends right after ESC");
        return end_frame(r, false);
    }
    if (slip_decode(&r->slip, SLIP_END) == SLIP_MORE) {
        r->opened = true; // the opening END, or an empty frame
        return FRAME_NONE;
    }
    return end_frame(r, true);
}

frame_event take_byte(frame_reader *r, uint8_t b, violation_log *log)
{
    if (b == SLIP_END)
        return take_end(r, log);
    if (r->broken)
        return FRAME_NONE;
    if (!r->opened) {
        violate(log, "bytes before the opening END");
        r->broken = true;
        return FRAME_NONE;
    }
    slip_decode(&r->slip, b); // the slack in buf keeps it from filling before the check below
    if (r->slip.odd_escape) {
        violate(log, "ESC followed by %02x", b);
        r->broken = true;
    } else if (r->slip.count > DEVSIM_MAX_FRAME) {
        violate(log, "frame longer than %d bytes", DEVSIM_MAX_FRAME);
        r->broken = true;
    }
    return FRAME_NONE;
}

} // namespace

void frame_reader_init(frame_reader *r)
{
    slip_decoder_init(&r->slip, r->buf.data(), int(r->buf.size()));
}

int32_t frame_reader_take(frame_reader *r, const uint8_t *p, int32_t n, int64_t now_us,
                          violation_log *log, frame_event *event)
{
    *event = FRAME_NONE;
    for (int32_t i = 0; i < n; ++i) {
        ++r->rx_bytes;
        if (!r->started)
            begin_frame(r, now_us, log);
        ++r->wire_bytes;
        *event = take_byte(r, p[i], log);
        if (*event != FRAME_NONE)
            return i + 1;
    }
    return n;
}
