// Random frames up through the packet layer, in both modes and with any tag.
// Each frame sits in a buffer of exactly its own size, so reading past it is
// caught at once. Checked against a CRC worked bit by bit, never against a
// copy of the layer's rules:
// - what goes up is the payload of a frame whose CRC is right in the byte
//   order of the mode the layer is in, and in tagged mode addressed to the
//   layer's own tag;
// - the layer follows the peer: a good frame of either kind, addressed to it,
//   goes up at once in its own mode, else when it arrives a second time;
// - the mode changes only to the one whose byte order the frame's CRC has;
// - the peer's tag echoed is the first word of the last tagged frame that
//   went up.
#include "framework/mlb.h"
#include "fuzz/run_checks.h"
#include "layers/lpkt.h"

namespace {

struct Seen {
    const uint8_t *frame;
    int32_t n;
    uint32_t tag;
    int ups;
};

// The order in which the frame's CRC is right: 1 little-endian, 2 big-endian.
int crc_orders(const uint8_t *f, int32_t n)
{
    if (n <= 4)
        return 0;
    uint32_t crc = crc32_bitwise(f, n - 4);
    return (crc == get_le32(f + n - 4) ? 1 : 0) | (crc == get_be32(f + n - 4) ? 2 : 0);
}

void top_rx(layer_t *t, mlb_t *b)
{
    auto *s = static_cast<Seen *>(t->p_);
    ++s->ups;
    int32_t mode = lpkt_mode(t->lower), h = mode == LPKT_TAGGED ? 8 : 0;
    require(crc_orders(s->frame, s->n) & (mode == LPKT_TAGGED ? 2 : 1));
    require(mode == LPKT_PLAIN || (s->n >= 12 && get_be32(s->frame + 4) == s->tag));
    require(b->data_length == s->n - h - 4);
    require(std::memcmp(mlb_data(b), s->frame + h, size_t(b->data_length)) == 0);
}

bool deliver(layer_t *pkt, Seen &seen)
{
    mlb_t *b = mlb_new(seen.n);
    std::memcpy(mlb_data(b), seen.frame, size_t(seen.n));
    mlb_reset(b, seen.n, 0);
    int before = seen.ups;
    lpkt_rx(pkt, b);
    mlb_free(b);
    return seen.ups > before;
}

} // namespace

// Input: records of [control byte][length byte][length bytes of frame].
// Control bits 0-1 pick the mode (2 and 3 are unknown modes), unless bit 6
// keeps the mode the layer has; bit 2 sets the own tag to the frame's first
// byte, bit 3 sends a reply after the receive, bits 4-5 rewrite the trailer
// with the right CRC, little- or big-endian, so that frames get past the CRC
// to the mode switch and the tag test.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    layer_t *pkt = lpkt_new();
    lpkt_init(pkt);
    layer_t top{};
    Seen seen{};
    top.p_ = &seen;
    top.rx = top_rx;
    layer_set_lower(&top, pkt);
    pkt->upper = &top;

    size_t at = 0;
    while (at + 2 <= size) {
        uint8_t control = data[at];
        size_t n = std::min<size_t>(data[at + 1], size - at - 2);
        at += 2;
        uint8_t frame[255];
        std::memcpy(frame, data + at, n);
        at += n;
        if ((control & 0x30) && n >= 4) {
            uint32_t crc = crc32_bitwise(frame, int32_t(n) - 4);
            (control & 0x10 ? put_le32 : put_be32)(frame + n - 4, crc);
        }
        if (!(control & 0x40))
            lpkt_set_mode(pkt, control & 3);
        if ((control & 4) && n) {
            seen.tag = frame[0];
            lpkt_set_tag(pkt, seen.tag);
        }
        seen.frame = frame;
        seen.n = int32_t(n);

        const int32_t mode = lpkt_mode(pkt);
        const uint32_t peer = lpkt_peer_tag(pkt);
        const int orders = crc_orders(frame, int32_t(n));
        const bool addressed = n >= 12 && get_be32(frame + 4) == seen.tag;
        const bool known = mode == LPKT_PLAIN || mode == LPKT_TAGGED;
        const bool up = deliver(pkt, seen);
        const int32_t now = lpkt_mode(pkt);
        require(now == mode || (known && (orders & (now == LPKT_TAGGED ? 2 : 1))));
        const bool tagged_up = up && mode == LPKT_TAGGED;
        require(lpkt_peer_tag(pkt) == (tagged_up ? get_be32(frame) : peer));
        const bool good = orders == 1 || (orders == 2 && addressed);
        if (known && good) // at once when the CRC's order is the mode's
            require(up || (orders != (mode == LPKT_TAGGED ? 2 : 1) && deliver(pkt, seen)));

        if (control & 8) { // the reply must fit its headroom and trailer room
            mlb_t *out = mlb_new(12 + 4 + 4);
            mlb_reset(out, 0, 12);
            std::memcpy(mlb_put_tail(out, 4), "ACK", 4);
            lpkt_tx(pkt, out); // no lower layer: the frame is built, not sent
            mlb_free(out);
        }
    }
    lpkt_free(pkt);
    return 0;
}
