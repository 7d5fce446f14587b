// Faults in single replies: which ones hit a frame (a rate drawn from the
// seed, or given frame numbers) and what each does to the reply on its way
// out. Line-level faults are in line_faults.h.
#pragma once

#include "tools/devsim/devsim.h"
#include "tools/devsim/line_faults.h"

#include <array>
#include <cstdint>

using fault_set = std::array<bool, DEVSIM_FAULT_KINDS>;

struct fault_state {
    uint64_t rng = 0; // one stream for every draw, so a seed replays a session
    std::array<uint32_t, DEVSIM_FAULT_KINDS> counts{};
    uint32_t bit_errors = 0, silent = 0, hangups = 0;
    int64_t stall_end_us = 0; // when the last stalled reply finished, about
};

// The faults that hit frame `frame`. Every kind is drawn for every frame,
// so turning one kind on leaves the draws of the others as they were.
fault_set faults_draw(fault_state *f, const devsim_config &cfg, uint32_t frame);

// The frame gets nothing at all: the line is hung up (`*hangup`), or the
// device chatters or trickles and takes no commands meanwhile.
bool fault_frame_lost(fault_state *f, const devsim_config &cfg, uint32_t frame,
                      line_fault_state *line, int64_t now_us, bool *hangup);
// The command is answered "NAK" and not carried out: the nak fault, or a
// refusing device.
bool fault_refused(fault_state *f, const fault_set &fire, line_fault_state *line, int64_t now_us);
// The answer is not sent: the drop fault, or a device silent after a frame.
bool fault_unanswered(fault_state *f, const devsim_config &cfg, uint32_t frame,
                      const fault_set &fire);

// One bit of the packet flipped, before it is framed.
void fault_corrupt(fault_state *f, uint8_t *packet, int32_t n);
// Line noise: any byte of the framed reply may arrive with one bit wrong.
// True when one did.
bool fault_bit_errors(fault_state *f, double rate, uint8_t *bytes, int32_t n);
// Random bytes right behind the reply.
void fault_garbage(fault_state *f, devsim_reply *r);
// Holds the reply back to `delay_ms` after the request arrived; true when it
// still comes in time for the host.
bool fault_delay(fault_state *f, uint32_t delay_ms, int64_t arrived_us, devsim_reply *r);
// A pause of `stall_ms` in the middle of the `framed` bytes of the reply.
void fault_stall(fault_state *f, uint32_t stall_ms, int32_t framed, devsim_reply *r);
