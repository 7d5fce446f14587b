#include "tools/devsim/faults.h"

#include <algorithm>

namespace {

uint64_t splitmix(uint64_t *state)
{
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double uniform(uint64_t *state) { return double(splitmix(state) >> 11) * 0x1.0p-53; }

} // namespace

fault_set faults_draw(fault_state *f, const devsim_config &cfg, uint32_t frame)
{
    fault_set fire{};
    for (size_t i = 0; i < DEVSIM_FAULT_KINDS; ++i) {
        const auto &plan = cfg.faults[i];
        double roll = uniform(&f->rng);
        fire[i] = std::find(plan.at.begin(), plan.at.end(), frame) != plan.at.end() ||
                  (plan.rate > 0 && roll < plan.rate);
    }
    return fire;
}

bool fault_frame_lost(fault_state *f, const devsim_config &cfg, uint32_t frame,
                      line_fault_state *line, int64_t now_us, bool *hangup)
{
    if (cfg.hangup_at && frame == cfg.hangup_at) {
        ++f->hangups;
        *hangup = true;
        return true;
    }
    int32_t kind = line->cfg.kind;
    if ((kind == DEVSIM_LINE_CHATTER || kind == DEVSIM_LINE_TRICKLE) &&
        line_fault_on(line, now_us)) {
        ++line->ignored;
        return true;
    }
    return false;
}

bool fault_refused(fault_state *f, const fault_set &fire, line_fault_state *line, int64_t now_us)
{
    if (fire[DEVSIM_NAK]) {
        ++f->counts[DEVSIM_NAK];
        return true;
    }
    if (line->cfg.kind == DEVSIM_LINE_REFUSE && line_fault_on(line, now_us)) {
        ++line->refused;
        return true;
    }
    return false;
}

bool fault_unanswered(fault_state *f, const devsim_config &cfg, uint32_t frame,
                      const fault_set &fire)
{
    bool silent = cfg.silent_after && frame > cfg.silent_after;
    if (!silent && !fire[DEVSIM_DROP])
        return false;
    ++(silent ? f->silent : f->counts[DEVSIM_DROP]);
    return true;
}

void fault_corrupt(fault_state *f, uint8_t *packet, int32_t n)
{
    uint64_t bit = splitmix(&f->rng) % uint64_t(n * 8);
    packet[bit / 8] ^= uint8_t(1u << (bit % 8));
    ++f->counts[DEVSIM_CORRUPT];
}

bool fault_bit_errors(fault_state *f, double rate, uint8_t *bytes, int32_t n)
{
    bool hit = false;
    if (rate <= 0)
        return hit;
    for (int32_t i = 0; i < n; ++i) {
        if (uniform(&f->rng) < rate) {
            bytes[i] ^= uint8_t(1u << (splitmix(&f->rng) % 8));
            ++f->bit_errors;
            hit = true;
        }
    }
    return hit;
}

void fault_garbage(fault_state *f, devsim_reply *r)
{
    int32_t g = 8 + int32_t(splitmix(&f->rng) % 40);
    for (int32_t i = 0; i < g; ++i)
        r->bytes[size_t(r->length++)] = uint8_t(splitmix(&f->rng));
    ++f->counts[DEVSIM_GARBAGE];
}

bool fault_delay(fault_state *f, uint32_t delay_ms, int64_t arrived_us, devsim_reply *r)
{
    // The host waits for the first byte from the end of its write, which on
    // a pty is the request's arrival: the delay counts from there. The host
    // waits 120 ms; up to 100 is safely in time.
    r->send_at_us = std::max(r->send_at_us, arrived_us + int64_t(delay_ms) * 1000);
    ++f->counts[DEVSIM_DELAY];
    return delay_ms <= 100;
}

void fault_stall(fault_state *f, uint32_t stall_ms, int32_t framed, devsim_reply *r)
{
    r->stall_at = framed / 2;
    r->stall_ms = stall_ms;
    ++f->counts[DEVSIM_STALL];
    f->stall_end_us = r->send_at_us + int64_t(stall_ms) * 1000;
}
