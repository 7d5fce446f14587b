// A frame through the device: read off the line, checked as a packet,
// carried out as a command, answered with a reply that the faults may spoil
// and the pacing holds back.
#include "tools/devsim/devsim.h"

#include "framework/zassert.h"
#include "layers/slip.h"
#include "tools/devsim/session.h"

#include <algorithm>

namespace {

// Paces the reply: the request and the reply must have had time to cross
// the wire, counted from the request's arrival. Returns that wire time.
int64_t pace(devsim_t *t, int32_t framed, devsim_reply *r)
{
    int64_t wire_us = 0;
    if (t->cfg.baud)
        wire_us =
            int64_t((uint64_t(t->rx.wire_bytes) + uint64_t(framed)) * 10'000'000ull / t->cfg.baud);
    r->send_at_us = t->rx.first_us + wire_us;
    return wire_us;
}

// Applies the faults that spoil the reply in `*r` (`framed` bytes so far) or
// hold it back; true when the host still gets it intact.
bool spoil(devsim_t *t, const fault_set &fire, int32_t framed, devsim_reply *r)
{
    bool intact = !fault_bit_errors(&t->faults, t->cfg.bit_error_rate, r->bytes.data(), framed);
    if (fire[DEVSIM_GARBAGE])
        fault_garbage(&t->faults, r);
    if (fire[DEVSIM_DELAY] && !fault_delay(&t->faults, t->cfg.delay_ms, t->rx.first_us, r))
        intact = false;
    if (fire[DEVSIM_STALL]) {
        fault_stall(&t->faults, t->cfg.stall_ms, framed, r);
        intact = false;
    }
    // Requests that came in during a stall are answered right behind its
    // tail, where the host drains them away.
    return intact && t->rx.first_us > t->faults.stall_end_us;
}

// The packet for `ans` in our kind, framed, spoilt by the faults, paced.
void make_reply(devsim_t *t, int32_t ans, const fault_set &fire, devsim_reply *r)
{
    std::array<uint8_t, PACKET_MAX_REPLY> pkt{};
    uint32_t crc = 0;
    int32_t n = packet_reply(&t->packets, ans, pkt.data(), &crc);
    if (fire[DEVSIM_CORRUPT])
        fault_corrupt(&t->faults, pkt.data(), n);
    int32_t framed = slip_encode(pkt.data(), n, r->bytes.data(), DEVSIM_MAX_REPLY);
    ZMK_ASSERT(framed > 0);
    r->length = framed;
    int64_t wire_us = pace(t, framed, r);
    bool intact = spoil(t, fire, framed, r) && !fire[DEVSIM_CORRUPT];
    t->tx_bytes += uint64_t(r->length);
    // Answers during the erase overlap it; every other exchange costs its
    // bytes on the wire and the host's quiet-line wait behind the reply.
    if (ans != ANS_BUSY)
        t->reply_floor_us += wire_us + 10'000;
    if (!intact && ans == ANS_ACK)
        ++t->acks_lost;
    if (intact)
        packet_heard(&t->packets, ans, crc);
}

// What the device answers a good frame, having carried it out or not.
int32_t answer_frame(devsim_t *t, const fault_set &fire, int64_t now_us)
{
    const uint8_t *p = nullptr;
    int32_t n = 0;
    int32_t ans = packet_open(&t->packets, t->rx.buf.data(), t->rx.length, &t->log, &p, &n);
    if (ans >= 0)
        return ans;
    command c = device_parse(&t->dev, p, n);
    if (c.kind == CMD_BAD || fault_refused(&t->faults, fire, &t->line, now_us))
        return ANS_NAK;
    return device_execute(&t->dev, c, now_us);
}

void handle_frame(devsim_t *t, int64_t now_us, devsim_reply *r)
{
    const uint32_t k = t->rx.frames;
    if (t->cfg.switch_at && k == t->cfg.switch_at)
        packet_switch(&t->packets);
    const fault_set fire = faults_draw(&t->faults, t->cfg, k);
    if (fault_frame_lost(&t->faults, t->cfg, k, &t->line, now_us, &r->hangup))
        return;
    int32_t ans = answer_frame(t, fire, now_us);
    ++t->answers[size_t(ans)];
    if (fault_unanswered(&t->faults, t->cfg, k, fire)) {
        if (ans == ANS_ACK)
            ++t->acks_lost;
        return;
    }
    make_reply(t, ans, fire, r);
}

// After every frame, broken or not: a line fault may start behind its reply.
void finish_frame(devsim_t *t, bool good, int64_t now_us, devsim_reply *r)
{
    uint32_t acks = t->answers[ANS_ACK], lost = t->acks_lost;
    if (good)
        handle_frame(t, now_us, r);
    if (line_fault_queued_behind(&t->line, t->rx.rx_bytes) && r->length &&
        t->answers[ANS_ACK] > acks && t->acks_lost == lost)
        ++t->acks_lost;
    int64_t done = r->length ? std::max(now_us, r->send_at_us) : now_us;
    if (r->stall_at >= 0)
        done += int64_t(r->stall_ms) * 1000;
    line_fault_frame_done(&t->line, t->rx.frames, done);
}

} // namespace

devsim_t *devsim_new(const devsim_config *config)
{
    ZMK_ASSERT(config);
    ZMK_ASSERT(config->flash_size > 0);
    auto *t = new devsim_t;
    t->cfg = *config;
    t->log.texts.reserve(DEVSIM_MAX_VIOLATIONS);
    frame_reader_init(&t->rx);
    t->packets.mode = config->mode == DEVSIM_TAGGED ? DEVSIM_TAGGED : DEVSIM_PLAIN;
    t->packets.tag = config->tag;
    device_init(&t->dev, config->flash_size, config->erase_ms, &t->log);
    t->faults.rng = config->seed;
    t->line.cfg = config->line_fault;
    return t;
}

void devsim_free(devsim_t *t) { delete t; }

int32_t devsim_feed(devsim_t *t, const uint8_t *p, int32_t n, int64_t now_us, devsim_reply *reply,
                    bool *framed)
{
    ZMK_ASSERT(t && reply && framed && n >= 0);
    *reply = devsim_reply{};
    frame_event event = FRAME_NONE;
    int32_t used = frame_reader_take(&t->rx, p, n, now_us, &t->log, &event);
    *framed = event != FRAME_NONE;
    if (*framed)
        finish_frame(t, event == FRAME_GOOD, now_us, reply);
    return used;
}

line_fault_state *devsim_line(devsim_t *t) { return &t->line; }
bool devsim_reset_seen(const devsim_t *t) { return t->dev.seq == SEQ_RESET; }
const std::vector<uint8_t> &devsim_flash(const devsim_t *t) { return t->dev.flash; }
uint32_t devsim_violation_count(const devsim_t *t) { return t->log.count; }
const std::vector<std::string> &devsim_violations(const devsim_t *t) { return t->log.texts; }
uint32_t devsim_fault_count(const devsim_t *t, devsim_fault kind)
{
    return t->faults.counts[size_t(kind)];
}
uint32_t devsim_repeats(const devsim_t *t) { return t->dev.repeats; }
int devsim_flash_matches(const devsim_t *t, const std::vector<uint8_t> &expect)
{
    return device_flash_matches(&t->dev, expect) ? 1 : 0;
}
