#include "tools/devsim/devsim.h"

#include "framework/bytes.h"
#include "framework/zassert.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t END = 0xC0, ESC = 0xDB, ESC_END = 0xDC, ESC_ESC = 0xDD;

enum cmd_kind : int32_t {
    CMD_ERASE,
    CMD_POLL,
    CMD_PROGRAM,
    CMD_RTC_SET,
    CMD_RESET,
    CMD_BAD,
    CMD_KINDS
};
constexpr std::array<const char *, CMD_KINDS> cmd_names = {"ERASE",   "POLL",  "PROGRAM",
                                                           "RTC_SET", "RESET", "unknown"};

// Where the run stands, as the device sees it.
enum seq_state : int32_t {
    SEQ_START,     // nothing erased yet
    SEQ_ERASING,   // erase started, poll not yet acknowledged
    SEQ_READY,     // erase over, no chunk yet
    SEQ_PROGRAM,   // chunks arriving in order
    SEQ_LAST_DONE, // last chunk written: the first one comes again
    SEQ_REWRITTEN, // first chunk rewritten: the clock comes next
    SEQ_CLOCK,     // clock set
    SEQ_RESET,     // reset acknowledged
};

enum answer : int32_t { ANS_ACK, ANS_NAK, ANS_BUSY, ANS_MODE, ANS_TAG };
constexpr std::array<const char *, 5> answer_text = {"ACK", "NAK", "BUSY", "MODE", "TAG"};

struct command {
    int32_t kind = CMD_BAD;
    uint32_t start = 0, end = 0;
    const uint8_t *data = nullptr; // PROGRAM data or RTC_SET records
    int32_t length = 0;
};

uint64_t splitmix(uint64_t *state)
{
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double uniform(uint64_t *state) { return double(splitmix(state) >> 11) * 0x1.0p-53; }

bool valid_date(const uint8_t *r)
{
    constexpr std::array<int, 12> days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = 2000 + r[0], month = r[1], day = r[2];
    if (month < 1 || month > 12 || day < 1 || r[3] > 23 || r[4] > 59 || r[5] > 59 || r[6] || r[7])
        return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

std::string json_string(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

} // namespace

struct devsim_t {
    devsim_config cfg;
    int32_t mode = DEVSIM_PLAIN;
    uint64_t rng = 0;

    // SLIP receiver
    std::array<uint8_t, DEVSIM_MAX_FRAME> frame{};
    int32_t count = 0;
    bool esc = false;
    bool started = false; // a byte of the next frame has arrived
    bool opened = false;  // that frame began with END
    bool broken = false;  // frame already refused; skip to its END
    int64_t first_us = 0;
    uint32_t frame_bytes = 0;
    uint32_t current = 1; // number of the frame being received or handled

    // the run
    int32_t seq = SEQ_START;
    uint32_t erase_start = 0, erase_end = 0, first_end = 0, next_start = 0;
    int64_t erase_done_us = 0;
    bool acked_valid = false;
    command acked{}; // last command carried out (its reply may have been lost)
    std::vector<uint8_t> flash, written;
    bool time_set = false;
    std::array<uint8_t, 8> time_record{};

    // tagged-mode bookkeeping
    uint32_t peer_word0 = 0;
    int64_t stall_end_us = 0; // when the last stalled reply finished, about
    bool kind_told = false;   // the host has had an intact reply of our kind
    bool tag_told = false;    // ... and a tagged one it accepts, so it knows our tag

    // statistics
    uint32_t exchanges = 0, repeats = 0, restarts = 0, switches = 0, silent = 0, hangups = 0;
    std::array<uint32_t, CMD_KINDS> commands{};
    std::array<uint32_t, DEVSIM_FAULT_KINDS> faults{};
    uint64_t rx_bytes = 0, tx_bytes = 0;
    int64_t floor_us = 0; // least time a host could have spent on this session
    uint32_t acks_lost = 0, bit_errors = 0;
    std::array<uint32_t, answer_text.size()> answers{};
    uint32_t violation_count = 0;
    std::vector<std::string> violations;
    line_fault_state line;
};

static void violate(devsim_t *t, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

static void violate(devsim_t *t, const char *fmt, ...)
{
    ++t->violation_count;
    if (t->violations.size() >= DEVSIM_MAX_VIOLATIONS)
        return;
    char text[200];
    int head = std::snprintf(text, sizeof text, "frame %u: ", t->current);
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text + head, sizeof text - size_t(head), fmt, ap);
    va_end(ap);
    t->violations.emplace_back(text);
}

devsim_t *devsim_new(const devsim_config *config)
{
    ZMK_ASSERT(config);
    ZMK_ASSERT(config->flash_size > 0);
    auto *t = new devsim_t;
    t->cfg = *config;
    t->mode = config->mode == DEVSIM_TAGGED ? DEVSIM_TAGGED : DEVSIM_PLAIN;
    t->rng = config->seed;
    t->line.cfg = config->line_fault;
    t->flash.resize(config->flash_size);
    t->written.assign(config->flash_size, 0);
    // Old content that is never 0xFF, so a byte left unerased or written
    // where it should not be shows in the dump and the CRC.
    for (uint32_t i = 0; i < config->flash_size; ++i)
        t->flash[i] = uint8_t((i * 37u + (i >> 8) * 11u + 0x5Au) % 255u);
    t->violations.reserve(DEVSIM_MAX_VIOLATIONS);
    return t;
}

void devsim_free(devsim_t *t) { delete t; }

// Carries out a write with flash semantics, after checking every byte.
static bool flash_write(devsim_t *t, const command &c)
{
    if (c.end > t->cfg.flash_size || c.start >= c.end) {
        violate(t, "PROGRAM 0x%x..0x%x lies outside the flash", c.start, c.end);
        return false;
    }
    for (int32_t i = 0; i < c.length; ++i) {
        uint32_t a = c.start + uint32_t(i);
        uint8_t f = t->flash[a], d = c.data[i];
        if (a < t->erase_start || a >= t->erase_end) {
            if ((f & d) != f) {
                violate(t, "PROGRAM 0x%x would change flash outside the erased range at 0x%x",
                        c.start, a);
                return false;
            }
        } else if (t->written[a] && d != f) {
            violate(t, "PROGRAM 0x%x differs at 0x%x from the data written there before", c.start,
                    a);
            return false;
        } else if ((f & d) != d) {
            violate(t, "PROGRAM 0x%x needs a 0->1 change at 0x%x", c.start, a);
            return false;
        }
    }
    for (int32_t i = 0; i < c.length; ++i) {
        uint32_t a = c.start + uint32_t(i);
        t->flash[a] &= c.data[i];
        if (a >= t->erase_start && a < t->erase_end)
            t->written[a] = 1;
    }
    return true;
}

static bool same_command(const command &a, const command &b)
{
    if (a.kind != b.kind)
        return false;
    // A repeated RTC_SET carries a freshly read time; the others repeat byte for byte.
    return a.kind == CMD_RTC_SET || (a.start == b.start && a.end == b.end && a.length == b.length);
}

static int32_t set_clock(devsim_t *t, const command &c)
{
    if (std::memcmp(c.data, c.data + 8, 8) != 0) {
        violate(t, "RTC_SET carries two different time records");
        return ANS_NAK;
    }
    if (!valid_date(c.data)) {
        violate(t, "RTC_SET carries an impossible time %02x %02x %02x %02x %02x %02x %02x %02x",
                c.data[0], c.data[1], c.data[2], c.data[3], c.data[4], c.data[5], c.data[6],
                c.data[7]);
        return ANS_NAK;
    }
    std::memcpy(t->time_record.data(), c.data, 8);
    t->time_set = true;
    return ANS_ACK;
}

static int32_t execute(devsim_t *t, const command &c, int64_t now_us)
{
    // With an image of one chunk the rewrite of the first chunk looks like a
    // repeat of the last one; take it as the rewrite.
    if (t->seq == SEQ_LAST_DONE && c.kind == CMD_PROGRAM && c.start == t->erase_start &&
        c.end == t->first_end) {
        if (!flash_write(t, c))
            return ANS_NAK;
        t->seq = SEQ_REWRITTEN;
        return ANS_ACK;
    }
    if (t->acked_valid && same_command(c, t->acked)) {
        // The host did not get our "ACK" and sends the command again.
        ++t->repeats;
        if (c.kind == CMD_PROGRAM && !flash_write(t, c))
            return ANS_NAK;
        if (c.kind == CMD_RTC_SET)
            return set_clock(t, c);
        return ANS_ACK;
    }
    if (t->seq == SEQ_RESET) {
        violate(t, "%s after RESET", cmd_names[size_t(c.kind)]);
        return ANS_NAK;
    }
    switch (c.kind) {
    case CMD_ERASE:
        if (c.start >= c.end || c.end > t->cfg.flash_size) {
            violate(t, "ERASE 0x%x..0x%x is not a range of the flash", c.start, c.end);
            return ANS_NAK;
        }
        if (t->seq != SEQ_START)
            ++t->restarts; // a host that starts over; the new erase wins
        std::fill(t->flash.begin() + c.start, t->flash.begin() + c.end, 0xFF);
        std::fill(t->written.begin(), t->written.end(), 0);
        t->erase_start = c.start;
        t->erase_end = c.end;
        t->erase_done_us = now_us + int64_t(t->cfg.erase_ms) * 1000;
        t->floor_us += int64_t(t->cfg.erase_ms) * 1000;
        t->next_start = c.start;
        t->time_set = false;
        t->seq = SEQ_ERASING;
        return ANS_ACK;
    case CMD_POLL:
        if (t->seq != SEQ_ERASING) {
            violate(t, "erase poll %s",
                    t->seq == SEQ_START ? "before ERASE" : "after the erase was over");
            return ANS_NAK;
        }
        if (now_us < t->erase_done_us)
            return ANS_BUSY;
        t->seq = SEQ_READY;
        return ANS_ACK;
    case CMD_PROGRAM:
        if (t->seq == SEQ_READY || t->seq == SEQ_PROGRAM) {
            if (c.start != t->next_start) {
                violate(t, "PROGRAM 0x%x out of order: expected 0x%x", c.start, t->next_start);
                return ANS_NAK;
            }
            if (!flash_write(t, c))
                return ANS_NAK;
            if (t->seq == SEQ_READY)
                t->first_end = c.end;
            t->next_start = c.end;
            t->seq = c.end >= t->erase_end ? SEQ_LAST_DONE : SEQ_PROGRAM;
            return ANS_ACK;
        }
        if (t->seq == SEQ_LAST_DONE) {
            violate(t, "PROGRAM 0x%x..0x%x after the last chunk: expected the first chunk again",
                    c.start, c.end);
            return ANS_NAK;
        }
        violate(t, "PROGRAM 0x%x %s", c.start,
                t->seq == SEQ_ERASING ? "before the erase poll was answered" : "out of sequence");
        return ANS_NAK;
    case CMD_RTC_SET:
        if (t->seq != SEQ_REWRITTEN) {
            violate(t, "RTC_SET before the image and its first chunk were written");
            return ANS_NAK;
        }
        if (set_clock(t, c) != ANS_ACK)
            return ANS_NAK;
        t->seq = SEQ_CLOCK;
        return ANS_ACK;
    case CMD_RESET:
        if (t->seq != SEQ_CLOCK) {
            violate(t, "RESET before the clock was set");
            return ANS_NAK;
        }
        t->seq = SEQ_RESET;
        return ANS_ACK;
    default: return ANS_NAK;
    }
}

// Splits a packet payload into a command; a malformed one is a violation.
static command parse(devsim_t *t, const uint8_t *p, int32_t n)
{
    command c;
    if (n < 8) {
        violate(t, "command of %d bytes, shorter than its name field", n);
        return c;
    }
    struct shape {
        const char *name;
        int32_t kind;
    };
    static constexpr std::array<shape, 4> shapes = {{{"ERASE", CMD_ERASE},
                                                     {"PROGRAM", CMD_PROGRAM},
                                                     {"RTC_SET", CMD_RTC_SET},
                                                     {"RESET", CMD_RESET}}};
    const shape *s = nullptr;
    for (const auto &candidate : shapes) {
        size_t len = std::strlen(candidate.name);
        if (std::memcmp(p, candidate.name, len + 1) == 0)
            s = &candidate;
    }
    if (!s) {
        violate(t, "unknown command name %02x %02x %02x %02x %02x %02x %02x %02x", p[0], p[1], p[2],
                p[3], p[4], p[5], p[6], p[7]);
        return c;
    }
    if ((s->kind == CMD_ERASE || s->kind == CMD_RESET) && (p[6] || p[7])) {
        violate(t, "%s name field ends in %02x %02x, not zeros", s->name, p[6], p[7]);
        return c;
    }
    int32_t want = s->kind == CMD_RESET ? 8 : s->kind == CMD_RTC_SET ? 24 : 16;
    if (s->kind == CMD_PROGRAM ? n < want : n != want) {
        violate(t, "%s of %d bytes, expected %d", s->name, n, want);
        return c;
    }
    if (s->kind == CMD_ERASE || s->kind == CMD_PROGRAM) {
        c.start = get_le32(p + 8);
        c.end = get_le32(p + 12);
    }
    c.data = p + (s->kind == CMD_RTC_SET ? 8 : 16);
    c.length = n - (s->kind == CMD_RTC_SET ? 8 : 16);
    c.kind = s->kind;
    if (s->kind == CMD_PROGRAM) {
        if (n == 16 && c.start == 0 && c.end == 0) {
            c.kind = CMD_POLL;
        } else if (c.end < c.start || c.end - c.start != uint32_t(n - 16) || n == 16) {
            violate(t, "PROGRAM 0x%x..0x%x carries %d data bytes", c.start, c.end, n - 16);
            c.kind = CMD_BAD;
        }
    }
    if (s->kind == CMD_RESET || s->kind == CMD_ERASE)
        c.data = nullptr, c.length = 0;
    return c;
}

static bool fault_fires(devsim_t *t, devsim_fault kind, double roll)
{
    const auto &plan = t->cfg.faults[size_t(kind)];
    if (std::find(plan.at.begin(), plan.at.end(), t->exchanges) != plan.at.end())
        return true;
    return plan.rate > 0 && roll < plan.rate;
}

// Builds the packet for `ans` in our kind, then applies the reply faults.
static void make_reply(devsim_t *t, int32_t ans, const std::array<bool, DEVSIM_FAULT_KINDS> &fire,
                       devsim_reply *r)
{
    std::array<uint8_t, 32> pkt{};
    int32_t n = 0;
    if (t->mode == DEVSIM_TAGGED) {
        put_be32(&pkt[0], t->cfg.tag);
        put_be32(&pkt[4], t->peer_word0);
        n = 8;
    }
    const char *text = answer_text[size_t(ans)];
    size_t len = std::strlen(text) + 1;
    std::memcpy(&pkt[size_t(n)], text, len);
    n += int32_t(len);
    uint32_t crc = crc32_block(pkt.data(), n);
    if (t->mode == DEVSIM_TAGGED)
        put_be32(&pkt[size_t(n)], crc);
    else
        put_le32(&pkt[size_t(n)], crc);
    n += 4;

    bool intact = true;
    if (fire[DEVSIM_CORRUPT]) {
        uint64_t bit = splitmix(&t->rng) % uint64_t(n * 8);
        pkt[bit / 8] ^= uint8_t(1u << (bit % 8));
        ++t->faults[DEVSIM_CORRUPT];
        intact = false;
    }
    int32_t k = 0;
    r->bytes[size_t(k++)] = END;
    for (int32_t i = 0; i < n; ++i) {
        uint8_t b = pkt[size_t(i)];
        if (b == END || b == ESC) {
            r->bytes[size_t(k++)] = ESC;
            r->bytes[size_t(k++)] = b == END ? ESC_END : ESC_ESC;
        } else {
            r->bytes[size_t(k++)] = b;
        }
    }
    r->bytes[size_t(k++)] = END;
    int32_t reply_len = k;
    // Line noise: any byte of the reply may arrive with one bit wrong.
    if (t->cfg.bit_error_rate > 0) {
        for (int32_t i = 0; i < reply_len; ++i) {
            if (uniform(&t->rng) < t->cfg.bit_error_rate) {
                r->bytes[size_t(i)] ^= uint8_t(1u << (splitmix(&t->rng) % 8));
                ++t->bit_errors;
                intact = false;
            }
        }
    }
    if (fire[DEVSIM_GARBAGE]) {
        int32_t g = 8 + int32_t(splitmix(&t->rng) % 40);
        for (int32_t i = 0; i < g; ++i)
            r->bytes[size_t(k++)] = uint8_t(splitmix(&t->rng));
        ++t->faults[DEVSIM_GARBAGE];
    }
    r->length = k;
    t->tx_bytes += uint64_t(k);

    // Pacing: the request and this reply must have had time to cross the wire.
    int64_t wire_us = 0;
    if (t->cfg.baud)
        wire_us =
            int64_t((uint64_t(t->frame_bytes) + uint64_t(reply_len)) * 10'000'000ull / t->cfg.baud);
    r->send_at_us = t->first_us + wire_us;
    // The host waits for the first byte from the end of its write, which on
    // a pty is the request's arrival: a delay counts from there.
    if (fire[DEVSIM_DELAY]) {
        r->send_at_us = std::max(r->send_at_us, t->first_us + int64_t(t->cfg.delay_ms) * 1000);
        ++t->faults[DEVSIM_DELAY];
        intact = intact && t->cfg.delay_ms <= 100;
    }
    // Answers during the erase overlap it; every other exchange costs its
    // bytes on the wire and the host's quiet-line wait behind the reply.
    if (ans != ANS_BUSY)
        t->floor_us += wire_us + 10'000;
    if (fire[DEVSIM_STALL]) {
        r->stall_at = reply_len / 2;
        r->stall_ms = t->cfg.stall_ms;
        ++t->faults[DEVSIM_STALL];
        t->stall_end_us = r->send_at_us + int64_t(t->cfg.stall_ms) * 1000;
        intact = false;
    }
    // Requests that came in during a stall are answered right behind its
    // tail, where the host drains them away.
    if (t->first_us <= t->stall_end_us)
        intact = false;
    if (!intact && ans == ANS_ACK)
        ++t->acks_lost;
    // A CRC that reads the same in both byte orders does not show the host our kind.
    if (intact &&
        crc != ((crc >> 24) | ((crc >> 8) & 0xFF00u) | ((crc << 8) & 0xFF0000u) | (crc << 24))) {
        t->kind_told = true;
        if (t->mode == DEVSIM_TAGGED && ans != ANS_MODE)
            t->tag_told = true;
    }
}

// A frame that gets nothing: the line is hung up, or the device chatters or
// trickles and takes no commands meanwhile.
static bool frame_lost(devsim_t *t, uint32_t k, int64_t now_us, devsim_reply *r)
{
    if (t->cfg.hangup_at && k == t->cfg.hangup_at) {
        ++t->hangups;
        r->hangup = true;
        return true;
    }
    int32_t kind = t->line.cfg.kind;
    if ((kind == DEVSIM_LINE_CHATTER || kind == DEVSIM_LINE_TRICKLE) &&
        line_fault_on(&t->line, now_us)) {
        ++t->line.ignored;
        return true;
    }
    return false;
}

// A command answered "NAK" and not carried out: the nak fault, or a refusing device.
static bool refused(devsim_t *t, const std::array<bool, DEVSIM_FAULT_KINDS> &fire, int64_t now_us)
{
    if (fire[DEVSIM_NAK]) {
        ++t->faults[DEVSIM_NAK];
        return true;
    }
    if (t->line.cfg.kind == DEVSIM_LINE_REFUSE && line_fault_on(&t->line, now_us)) {
        ++t->line.refused;
        return true;
    }
    return false;
}

// One complete frame: check it, act on it, say what to answer.
static void handle_frame(devsim_t *t, int64_t now_us, devsim_reply *r)
{
    uint32_t k = t->exchanges;
    if (t->cfg.switch_at && k == t->cfg.switch_at) {
        t->mode ^= 1;
        ++t->switches;
        t->kind_told = t->tag_told = false;
    }
    std::array<bool, DEVSIM_FAULT_KINDS> fire{};
    for (int32_t i = 0; i < DEVSIM_FAULT_KINDS; ++i)
        fire[size_t(i)] = fault_fires(t, devsim_fault(i), uniform(&t->rng));

    if (frame_lost(t, k, now_us, r))
        return;
    const uint8_t *p = t->frame.data();
    int32_t n = t->count;
    int32_t answer = ANS_NAK;
    if (n <= 4) {
        violate(t, "frame of %d bytes, too short for a packet", n);
    } else {
        uint32_t crc = crc32_block(p, n - 4);
        bool le = crc == get_le32(p + n - 4), be = crc == get_be32(p + n - 4);
        int32_t kind = -1;
        if (t->mode == DEVSIM_PLAIN)
            kind = le ? DEVSIM_PLAIN : be ? DEVSIM_TAGGED : -1;
        else
            kind = be && n >= 12 ? DEVSIM_TAGGED : le ? DEVSIM_PLAIN : -1;
        if (kind < 0) {
            if (be)
                violate(t, "tagged frame of %d bytes, too short for its header", n);
            else
                violate(t, "bad CRC %08x in a frame of %d bytes (computed %08x)",
                        get_le32(p + n - 4), n, crc);
        } else if (kind != t->mode) {
            // The host follows our kind; until it does, it gets no "ACK".
            if (t->kind_told)
                violate(t, "%s frame after the device answered %s", kind ? "tagged" : "plain",
                        kind ? "plain" : "tagged");
            answer = ANS_MODE;
        } else {
            bool to_us = true;
            if (kind == DEVSIM_TAGGED) {
                uint32_t word0 = get_be32(p), word1 = get_be32(p + 4);
                t->peer_word0 = word0;
                if (word1 != t->cfg.tag) {
                    // Before it has heard from us the host can only send tag 0.
                    if (t->tag_told || word1 != 0)
                        violate(t, "tagged frame for tag %u, the device's tag is %u", word1,
                                t->cfg.tag);
                    answer = ANS_TAG;
                    to_us = false;
                }
                p += 8;
                n -= 8;
            }
            if (to_us) {
                command c = parse(t, p, n - 4);
                ++t->commands[size_t(c.kind)];
                if (c.kind != CMD_BAD) {
                    if (refused(t, fire, now_us)) {
                        answer = ANS_NAK;
                    } else {
                        answer = execute(t, c, now_us);
                        if (answer == ANS_ACK) {
                            t->acked = c;
                            t->acked.data = nullptr; // points into the frame buffer
                            t->acked_valid = true;
                        }
                    }
                }
            }
        }
    }
    ++t->answers[size_t(answer)];
    bool silent = t->cfg.silent_after && k > t->cfg.silent_after;
    if (silent || fire[DEVSIM_DROP]) {
        ++(silent ? t->silent : t->faults[DEVSIM_DROP]);
        if (answer == ANS_ACK)
            ++t->acks_lost;
        return;
    }
    make_reply(t, answer, fire, r);
}

// After every frame, broken or not: a line fault may start behind its reply.
static void finish_frame(devsim_t *t, bool ok, int64_t now_us, devsim_reply *r)
{
    uint32_t acks = t->answers[ANS_ACK], lost = t->acks_lost;
    if (ok)
        handle_frame(t, now_us, r);
    if (line_fault_queued_behind(&t->line, t->rx_bytes) && r->length &&
        t->answers[ANS_ACK] > acks && t->acks_lost == lost)
        ++t->acks_lost;
    int64_t done = r->length ? std::max(now_us, r->send_at_us) : now_us;
    if (r->stall_at >= 0)
        done += int64_t(r->stall_ms) * 1000;
    line_fault_frame_done(&t->line, t->exchanges, done);
}

int32_t devsim_feed(devsim_t *t, const uint8_t *p, int32_t n, int64_t now_us, devsim_reply *reply,
                    bool *framed)
{
    ZMK_ASSERT(t && reply && framed && n >= 0);
    *reply = devsim_reply{};
    *framed = false;
    for (int32_t i = 0; i < n; ++i) {
        uint8_t b = p[i];
        ++t->rx_bytes;
        if (!t->started) {
            t->started = true;
            t->first_us = now_us;
            t->frame_bytes = 0;
            t->current = t->exchanges + 1;
        }
        ++t->frame_bytes;
        if (b == END) {
            if (t->count == 0 && !t->broken && !t->esc) {
                t->opened = true; // opening END, or an empty frame
                continue;
            }
            if (t->esc && !t->broken)
                violate(t, "frame ends right after ESC");
            bool ok = !t->broken && !t->esc;
            ++t->exchanges;
            t->started = false;
            finish_frame(t, ok, now_us, reply);
            t->count = 0;
            t->esc = t->broken = false;
            t->opened = true; // a closing END also opens what follows
            *framed = true;
            return i + 1;
        }
        if (t->broken)
            continue;
        if (!t->opened) {
            violate(t, "bytes before the opening END");
            t->broken = true;
            continue;
        }
        if (t->esc) {
            t->esc = false;
            if (b != ESC_END && b != ESC_ESC) {
                violate(t, "ESC followed by %02x", b);
                t->broken = true;
                continue;
            }
            b = b == ESC_END ? END : ESC;
        } else if (b == ESC) {
            t->esc = true;
            continue;
        }
        if (t->count >= DEVSIM_MAX_FRAME) {
            violate(t, "frame longer than %d bytes", DEVSIM_MAX_FRAME);
            t->broken = true;
            continue;
        }
        t->frame[size_t(t->count++)] = b;
    }
    return n;
}

line_fault_state *devsim_line(devsim_t *t) { return &t->line; }
bool devsim_reset_seen(const devsim_t *t) { return t->seq == SEQ_RESET; }
const std::vector<uint8_t> &devsim_flash(const devsim_t *t) { return t->flash; }
uint32_t devsim_violation_count(const devsim_t *t) { return t->violation_count; }
const std::vector<std::string> &devsim_violations(const devsim_t *t) { return t->violations; }
uint32_t devsim_fault_count(const devsim_t *t, devsim_fault kind)
{
    return t->faults[size_t(kind)];
}
uint32_t devsim_repeats(const devsim_t *t) { return t->repeats; }
uint32_t devsim_exchanges(const devsim_t *t) { return t->exchanges; }

uint32_t devsim_written_crc(const devsim_t *t)
{
    return crc32_block(t->flash.data() + t->erase_start, int32_t(t->erase_end - t->erase_start));
}

int devsim_flash_matches(const devsim_t *t, const std::vector<uint8_t> &expect)
{
    // The whole erased range must have been written, and hold exactly the image.
    if (t->seq < SEQ_REWRITTEN || expect.size() != t->erase_end - t->erase_start)
        return 0;
    return std::equal(expect.begin(), expect.end(), t->flash.begin() + t->erase_start) ? 1 : 0;
}

bool devsim_ok(const devsim_t *t, const devsim_end *end)
{
    return t->seq == SEQ_RESET && t->violation_count == 0 &&
           (!end->expect || devsim_flash_matches(t, *end->expect));
}

static std::string time_text(const devsim_t *t)
{
    if (!t->time_set)
        return "null";
    const auto &r = t->time_record;
    char text[40];
    std::snprintf(text, sizeof text, "\"%04d-%02d-%02d %02d:%02d:%02d\"", 2000 + r[0], r[1], r[2],
                  r[3], r[4], r[5]);
    return text;
}

std::string devsim_report(const devsim_t *t, const devsim_end *end)
{
    char num[160];
    std::string j = "{\n";
    auto field = [&](const char *name, const std::string &value, bool last = false) {
        j += "  " + json_string(name) + ": " + value + (last ? "\n" : ",\n");
    };
    auto number = [&](uint64_t v) { return std::to_string(v); };
    field("ok", devsim_ok(t, end) ? "true" : "false");
    field("ended_with_reset", t->seq == SEQ_RESET ? "true" : "false");
    field("end", json_string(end->how));
    field("flash_matches", !end->expect                            ? "null"
                           : devsim_flash_matches(t, *end->expect) ? "true"
                                                                   : "false");
    field("exchanges", number(t->exchanges));
    std::string cmds = "{";
    for (size_t i = 0; i < CMD_KINDS; ++i)
        cmds += (i ? ", " : "") + json_string(cmd_names[i]) + ": " + number(t->commands[i]);
    field("commands", cmds + "}");
    field("repeats", number(t->repeats));
    field("restarts", number(t->restarts));
    std::string faults = "{";
    for (size_t i = 0; i < DEVSIM_FAULT_KINDS; ++i)
        faults += json_string(devsim_fault_names[i]) + ": " + number(t->faults[i]) + ", ";
    faults += "\"bit_errors\": " + number(t->bit_errors) + ", \"silent\": " + number(t->silent) +
              ", \"hangup\": " + number(t->hangups) + "}";
    field("faults", faults);
    field("line_fault", line_fault_json(&t->line, end->start_us, end->start_us + end->elapsed_us));
    std::string answers = "{";
    for (size_t i = 0; i < answer_text.size(); ++i)
        answers += (i ? ", " : "") + json_string(answer_text[i]) + ": " + number(t->answers[i]);
    field("answers", answers + "}");
    // Every "ACK" the host cannot have received must come back as a repeat.
    field("acks_lost", number(t->acks_lost));
    field("mode", t->mode == DEVSIM_TAGGED ? "\"tagged\"" : "\"plain\"");
    field("switches", number(t->switches));
    std::string v = "[";
    for (size_t i = 0; i < t->violations.size(); ++i)
        v += (i ? ", " : "") + json_string(t->violations[i]);
    field("violations", v + "]");
    field("violation_count", number(t->violation_count));
    if (t->seq == SEQ_START) {
        field("erased", "null");
    } else {
        std::snprintf(num, sizeof num, "{\"start\": %u, \"end\": %u}", t->erase_start,
                      t->erase_end);
        field("erased", num);
    }
    std::snprintf(num, sizeof num, "\"%08x\"", devsim_written_crc(t));
    field("crc32", num);
    field("time_record", time_text(t));
    field("elapsed_ms", number(uint64_t(std::max<int64_t>(end->elapsed_us, 0) / 1000)));
    uint64_t wire_ms = t->cfg.baud ? (t->rx_bytes + t->tx_bytes) * 10'000ull / t->cfg.baud : 0;
    field("wire_ms", number(wire_ms));
    field("floor_ms", number(uint64_t(t->floor_us / 1000)));
    field("line_ms", end->line_us < 0 ? "null" : number(uint64_t(end->line_us / 1000)));
    std::snprintf(num, sizeof num, "{\"from_host\": %llu, \"to_host\": %llu}",
                  (unsigned long long)t->rx_bytes, (unsigned long long)t->tx_bytes);
    field("wire_bytes", num);
    field("baud", number(t->cfg.baud), true);
    return j + "}\n";
}

bool devsim_parse_list(const std::string &text, std::vector<uint32_t> *out)
{
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        size_t j = i;
        uint64_t v = 0;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9' && v <= 0xFFFFFFFFull)
            v = v * 10 + uint64_t(text[j++] - '0');
        if (j == i || v == 0 || v > 0xFFFFFFFFull || (j < text.size() && text[j] != ','))
            return false;
        out->push_back(uint32_t(v));
        i = j + 1;
        if (j + 1 == text.size())
            return false; // trailing comma
    }
    return !out->empty();
}
