// The device's receiver: frames off the line through the project's SLIP
// decoder, held to the strict rules. A frame must open with END, an ESC must
// escape END or ESC, and a frame holds at most DEVSIM_MAX_FRAME bytes; a frame
// that breaks one is reported once and skipped up to its END.
#pragma once

#include "layers/slip.h"
#include "tools/devsim/devsim.h"
#include "tools/devsim/violations.h"

#include <array>
#include <cstdint>

enum frame_event : int32_t {
    FRAME_NONE,   // no frame ended in the bytes taken
    FRAME_GOOD,   // a frame of `length` bytes in `buf`
    FRAME_BROKEN, // a frame ended that broke the rules (already reported)
};

struct frame_reader {
    slip_decoder slip{};
    // One byte of slack over the limit, so that a frame one byte too long is
    // still decoded and a bad escape in that byte reported as such.
    std::array<uint8_t, DEVSIM_MAX_FRAME + 2> buf{};
    int32_t length = 0;      // of the last good frame, which stays in buf
    bool started = false;    // a byte of the next frame has arrived
    bool opened = false;     // that frame began with END
    bool broken = false;     // that frame is refused; skip to its END
    int64_t first_us = 0;    // arrival of the frame's first byte
    uint32_t wire_bytes = 0; // the frame's bytes on the line, leading ENDs included
    uint32_t frames = 0;     // frames ended, good or broken
    uint64_t rx_bytes = 0;   // all bytes taken in the session
};

void frame_reader_init(frame_reader *r);

// Takes bytes that arrived at `now_us`, up to the END that ends a frame;
// returns how many it took and says in `*event` whether a frame ended. A
// violation is logged with the number of the frame it is in.
int32_t frame_reader_take(frame_reader *r, const uint8_t *p, int32_t n, int64_t now_us,
                          violation_log *log, frame_event *event);
