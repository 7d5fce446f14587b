#include "tools/devsim/device.h"

#include "framework/bytes.h"

#include <algorithm>
#include <cstring>

namespace {

bool valid_date(const uint8_t *r)
{
    constexpr std::array<int, 12> days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = 2000 + r[0], month = r[1], day = r[2];
    if (month < 1 || month > 12 || day < 1 || r[3] > 23 || r[4] > 59 || r[5] > 59 || r[6] || r[7])
        return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

struct shape {
    const char *name;
    int32_t kind;
};

const shape *shape_of(const uint8_t *p)
{
    static constexpr std::array<shape, 4> shapes = {{{"ERASE", CMD_ERASE},
                                                     {"PROGRAM", CMD_PROGRAM},
                                                     {"RTC_SET", CMD_RTC_SET},
                                                     {"RESET", CMD_RESET}}};
    const shape *s = nullptr;
    for (const auto &candidate : shapes)
        if (std::memcmp(p, candidate.name, std::strlen(candidate.name) + 1) == 0)
            s = &candidate;
    return s;
}

// Checks the name field's padding and the length for the command's shape.
bool well_formed(violation_log *log, const shape *s, const uint8_t *p, int32_t n)
{
    if ((s->kind == CMD_ERASE || s->kind == CMD_RESET) && (p[6] || p[7])) {
        violate(log, "%s name field ends in %02x %02x, not zeros", s->name, p[6], p[7]);
        return false;
    }
    int32_t want = s->kind == CMD_RESET ? 8 : s->kind == CMD_RTC_SET ? 24 : 16;
    if (s->kind == CMD_PROGRAM ? n < want : n != want) {
        violate(log, "%s of %d bytes, expected %d", s->name, n, want);
        return false;
    }
    return true;
}

command parse(violation_log *log, const uint8_t *p, int32_t n)
{
    command c;
    if (n < 8) {
        violate(log, "command of %d bytes, shorter than its name field", n);
        return c;
    }
    const shape *s = shape_of(p);
    if (!s) {
        violate(log, "unknown command name %02x %02x %02x %02x %02x %02x %02x %02x", p[0], p[1],
                p[2], p[3], p[4], p[5], p[6], p[7]);
        return c;
    }
    if (!well_formed(log, s, p, n))
        return c;
    c.kind = s->kind;
    if (s->kind == CMD_RTC_SET) {
        c.data = p + 8;
        c.length = n - 8;
    } else if (s->kind == CMD_ERASE || s->kind == CMD_PROGRAM) {
        c.start = get_le32(p + 8);
        c.end = get_le32(p + 12);
    }
    if (s->kind != CMD_PROGRAM)
        return c;
    c.data = p + 16;
    c.length = n - 16;
    if (n == 16 && c.start == 0 && c.end == 0) {
        c.kind = CMD_POLL;
    } else if (c.end < c.start || c.end - c.start != uint32_t(n - 16) || n == 16) {
        violate(log, "PROGRAM 0x%x..0x%x carries %d data bytes", c.start, c.end, n - 16);
        c.kind = CMD_BAD;
    }
    return c;
}

// Whether a write may go ahead with flash semantics; every byte is checked
// before any is written.
bool writable(device *d, const command &c)
{
    if (c.end > d->flash_size || c.start >= c.end) {
        violate(d->log, "PROGRAM 0x%x..0x%x lies outside the flash", c.start, c.end);
        return false;
    }
    for (int32_t i = 0; i < c.length; ++i) {
        uint32_t a = c.start + uint32_t(i);
        uint8_t f = d->flash[a], b = c.data[i];
        if (a < d->erase_start || a >= d->erase_end) {
            if ((f & b) != f) {
                violate(d->log, "PROGRAM 0x%x would change flash outside the erased range at 0x%x",
                        c.start, a);
                return false;
            }
        } else if (d->written[a] && b != f) {
            violate(d->log, "PROGRAM 0x%x differs at 0x%x from the data written there before",
                    c.start, a);
            return false;
        } else if ((f & b) != b) {
            violate(d->log, "PROGRAM 0x%x needs a 0->1 change at 0x%x", c.start, a);
            return false;
        }
    }
    return true;
}

bool flash_write(device *d, const command &c)
{
    if (!writable(d, c))
        return false;
    for (int32_t i = 0; i < c.length; ++i) {
        uint32_t a = c.start + uint32_t(i);
        d->flash[a] &= c.data[i];
        if (a >= d->erase_start && a < d->erase_end)
            d->written[a] = 1;
    }
    return true;
}

bool same_command(const command &a, const command &b)
{
    if (a.kind != b.kind)
        return false;
    // A repeated RTC_SET carries a freshly read time; the others repeat byte for byte.
    return a.kind == CMD_RTC_SET || (a.start == b.start && a.end == b.end && a.length == b.length);
}

int32_t set_clock(device *d, const command &c)
{
    if (std::memcmp(c.data, c.data + 8, 8) != 0) {
        violate(d->log, "RTC_SET carries two different time records");
        return ANS_NAK;
    }
    if (!valid_date(c.data)) {
        violate(
            d->log, "RTC_SET carries an impossible time %02x %02x %02x %02x %02x %02x %02x %02x",
            c.data[0], c.data[1], c.data[2], c.data[3], c.data[4], c.data[5], c.data[6], c.data[7]);
        return ANS_NAK;
    }
    std::memcpy(d->time_record.data(), c.data, 8);
    d->time_set = true;
    return ANS_ACK;
}

int32_t erase(device *d, const command &c, int64_t now_us)
{
    if (c.start >= c.end || c.end > d->flash_size) {
        violate(d->log, "ERASE 0x%x..0x%x is not a range of the flash", c.start, c.end);
        return ANS_NAK;
    }
    if (d->seq != SEQ_START)
        ++d->restarts; // a host that starts over; the new erase wins
    ++d->erases;
    std::fill(d->flash.begin() + c.start, d->flash.begin() + c.end, 0xFF);
    std::fill(d->written.begin(), d->written.end(), 0);
    d->erase_start = c.start;
    d->erase_end = c.end;
    d->erase_done_us = now_us + int64_t(d->erase_ms) * 1000;
    d->next_start = c.start;
    d->time_set = false;
    d->seq = SEQ_ERASING;
    return ANS_ACK;
}

int32_t poll(device *d, int64_t now_us)
{
    if (d->seq != SEQ_ERASING) {
        violate(d->log, "erase poll %s",
                d->seq == SEQ_START ? "before ERASE" : "after the erase was over");
        return ANS_NAK;
    }
    if (now_us < d->erase_done_us)
        return ANS_BUSY;
    d->seq = SEQ_READY;
    return ANS_ACK;
}

int32_t program(device *d, const command &c)
{
    if (d->seq == SEQ_READY || d->seq == SEQ_PROGRAM) {
        if (c.start != d->next_start) {
            violate(d->log, "PROGRAM 0x%x out of order: expected 0x%x", c.start, d->next_start);
            return ANS_NAK;
        }
        if (!flash_write(d, c))
            return ANS_NAK;
        if (d->seq == SEQ_READY)
            d->first_end = c.end;
        d->next_start = c.end;
        d->seq = c.end >= d->erase_end ? SEQ_LAST_DONE : SEQ_PROGRAM;
        return ANS_ACK;
    }
    if (d->seq == SEQ_LAST_DONE) {
        violate(d->log, "PROGRAM 0x%x..0x%x after the last chunk: expected the first chunk again",
                c.start, c.end);
        return ANS_NAK;
    }
    violate(d->log, "PROGRAM 0x%x %s", c.start,
            d->seq == SEQ_ERASING ? "before the erase poll was answered" : "out of sequence");
    return ANS_NAK;
}

int32_t rtc_set(device *d, const command &c)
{
    if (d->seq != SEQ_REWRITTEN) {
        violate(d->log, "RTC_SET before the image and its first chunk were written");
        return ANS_NAK;
    }
    if (set_clock(d, c) != ANS_ACK)
        return ANS_NAK;
    d->seq = SEQ_CLOCK;
    return ANS_ACK;
}

int32_t reset(device *d)
{
    if (d->seq != SEQ_CLOCK) {
        violate(d->log, "RESET before the clock was set");
        return ANS_NAK;
    }
    d->seq = SEQ_RESET;
    return ANS_ACK;
}

// The host did not get our "ACK" and sends the command again: no harm done.
int32_t repeat(device *d, const command &c)
{
    ++d->repeats;
    if (c.kind == CMD_PROGRAM && !flash_write(d, c))
        return ANS_NAK;
    if (c.kind == CMD_RTC_SET)
        return set_clock(d, c);
    return ANS_ACK;
}

int32_t run(device *d, const command &c, int64_t now_us)
{
    // With an image of one chunk the rewrite of the first chunk looks like a
    // repeat of the last one; take it as the rewrite.
    if (d->seq == SEQ_LAST_DONE && c.kind == CMD_PROGRAM && c.start == d->erase_start &&
        c.end == d->first_end) {
        if (!flash_write(d, c))
            return ANS_NAK;
        d->seq = SEQ_REWRITTEN;
        return ANS_ACK;
    }
    if (d->acked_valid && same_command(c, d->acked))
        return repeat(d, c);
    if (d->seq == SEQ_RESET) {
        violate(d->log, "%s after RESET", cmd_names[size_t(c.kind)]);
        return ANS_NAK;
    }
    switch (c.kind) {
    case CMD_ERASE: return erase(d, c, now_us);
    case CMD_POLL: return poll(d, now_us);
    case CMD_PROGRAM: return program(d, c);
    case CMD_RTC_SET: return rtc_set(d, c);
    case CMD_RESET: return reset(d);
    default: return ANS_NAK;
    }
}

} // namespace

void device_init(device *d, uint32_t flash_size, uint32_t erase_ms, violation_log *log)
{
    d->flash_size = flash_size;
    d->erase_ms = erase_ms;
    d->log = log;
    d->flash.resize(flash_size);
    d->written.assign(flash_size, 0);
    // Old content that is never 0xFF, so a byte left unerased or written
    // where it should not be shows in the dump and the CRC.
    for (uint32_t i = 0; i < flash_size; ++i)
        d->flash[i] = uint8_t((i * 37u + (i >> 8) * 11u + 0x5Au) % 255u);
}

command device_parse(device *d, const uint8_t *p, int32_t n)
{
    command c = parse(d->log, p, n);
    ++d->commands[size_t(c.kind)];
    return c;
}

int32_t device_execute(device *d, const command &c, int64_t now_us)
{
    int32_t ans = run(d, c, now_us);
    if (ans == ANS_ACK) {
        d->acked = c;
        d->acked.data = nullptr; // points into the frame buffer
        d->acked_valid = true;
    }
    return ans;
}

uint32_t device_written_crc(const device *d)
{
    return crc32_block(d->flash.data() + d->erase_start, int32_t(d->erase_end - d->erase_start));
}

bool device_flash_matches(const device *d, const std::vector<uint8_t> &expect)
{
    // The whole erased range must have been written, and hold exactly the image.
    if (d->seq < SEQ_REWRITTEN || expect.size() != d->erase_end - d->erase_start)
        return false;
    return std::equal(expect.begin(), expect.end(), d->flash.begin() + d->erase_start);
}
