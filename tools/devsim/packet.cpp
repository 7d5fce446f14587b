#include "tools/devsim/packet.h"

#include "framework/bytes.h"
#include "tools/devsim/device.h"
#include "tools/devsim/devsim.h"

#include <cstring>

namespace {

// The kind a frame of n bytes (n > 4) is in by its CRC: -1 when neither,
// and a tagged frame too short for its header is none while we speak tagged.
int32_t kind_of(const packet_side *s, const uint8_t *p, int32_t n, violation_log *log)
{
    uint32_t crc = crc32_block(p, n - 4);
    bool le = crc == get_le32(p + n - 4), be = crc == get_be32(p + n - 4);
    int32_t kind = -1;
    if (s->mode == DEVSIM_PLAIN)
        kind = le ? DEVSIM_PLAIN : be ? DEVSIM_TAGGED : -1;
    else
        kind = be && n >= 12 ? DEVSIM_TAGGED : le ? DEVSIM_PLAIN : -1;
    if (kind >= 0)
        return kind;
    if (be)
        violate(log, "tagged frame of %d bytes, too short for its header", n);
    else
        violate(log, "bad CRC %08x in a frame of %d bytes (computed %08x)", get_le32(p + n - 4), n,
                crc);
    return -1;
}

// A tagged frame's header; false when it is for another tag.
bool for_our_tag(packet_side *s, const uint8_t *p, violation_log *log)
{
    uint32_t word0 = get_be32(p), word1 = get_be32(p + 4);
    s->peer_word0 = word0;
    if (word1 == s->tag)
        return true;
    // Before it has heard from us the host can only send tag 0.
    if (s->tag_told || word1 != 0)
        violate(log, "tagged frame for tag %u, the device's tag is %u", word1, s->tag);
    return false;
}

} // namespace

void packet_switch(packet_side *s)
{
    s->mode ^= 1;
    ++s->switches;
    s->kind_told = s->tag_told = false;
}

int32_t packet_open(packet_side *s, const uint8_t *p, int32_t n, violation_log *log,
                    const uint8_t **cmd, int32_t *cmd_len)
{
    if (n <= 4) {
        violate(log, "frame of %d bytes, too short for a packet", n);
        return ANS_NAK;
    }
    int32_t kind = kind_of(s, p, n, log);
    if (kind < 0)
        return ANS_NAK;
    if (kind != s->mode) {
        // The host follows our kind; until it does, it gets no "ACK".
        if (s->kind_told)
            violate(log, "%s frame after the device answered %s", kind ? "tagged" : "plain",
                    kind ? "plain" : "tagged");
        return ANS_MODE;
    }
    if (kind == DEVSIM_TAGGED) {
        if (!for_our_tag(s, p, log))
            return ANS_TAG;
        p += 8;
        n -= 8;
    }
    *cmd = p;
    *cmd_len = n - 4;
    return -1;
}

int32_t packet_reply(const packet_side *s, int32_t ans, uint8_t *out, uint32_t *crc)
{
    int32_t n = 0;
    if (s->mode == DEVSIM_TAGGED) {
        put_be32(out, s->tag);
        put_be32(out + 4, s->peer_word0);
        n = 8;
    }
    const char *text = answer_text[size_t(ans)];
    size_t len = std::strlen(text) + 1;
    std::memcpy(out + n, text, len);
    n += int32_t(len);
    *crc = crc32_block(out, n);
    if (s->mode == DEVSIM_TAGGED)
        put_be32(out + n, *crc);
    else
        put_le32(out + n, *crc);
    return n + 4;
}

void packet_heard(packet_side *s, int32_t ans, uint32_t crc)
{
    // A CRC that reads the same in both byte orders does not show the host our kind.
    if (crc == ((crc >> 24) | ((crc >> 8) & 0xFF00u) | ((crc << 8) & 0xFF0000u) | (crc << 24)))
        return;
    s->kind_told = true;
    if (s->mode == DEVSIM_TAGGED && ans != ANS_MODE)
        s->tag_told = true;
}
