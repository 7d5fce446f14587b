// Random frames up through the packet layer, in both modes and with any tag.
// Each frame sits in a buffer of exactly its own size, so reading past it is
// caught at once; whatever reaches the layer above must be a frame whose CRC
// is right in the mode it was accepted in. After every frame the layer's
// mode, the peer's tag and whether the frame went up must be what the
// frame's CRC and tag words call for, and the mode a frame switched to
// carries over to the next one unless the record sets another.
#include "framework/bytes.h"
#include "framework/mlb.h"
#include "fuzz/lpkt_model.h"
#include "layers/lpkt.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Seen {
    int32_t mode;
    int32_t n;
    const uint8_t *frame;
    int ups;
};

void require(bool ok)
{
    if (!ok)
        std::abort();
}

void top_rx(layer_t *t, mlb_t *b)
{
    auto *s = static_cast<Seen *>(t->p_);
    ++s->ups;
    require(mlb_length(b) == s->n);
    int32_t h = s->mode == LPKT_TAGGED ? 8 : 0;
    require(b->header_length == h && b->tail_length == 4 && b->data_length == s->n - h - 4);
    uint32_t crc = crc32_block(s->frame, s->n - 4);
    const uint8_t *trailer = s->frame + s->n - 4;
    require(crc == (h ? get_be32(trailer) : get_le32(trailer)));
    require(std::memcmp(mlb_data(b), s->frame + h, size_t(b->data_length)) == 0);
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
    pkt->upper = &top;

    uint32_t tag = 0;
    size_t at = 0;
    while (at + 2 <= size) {
        uint8_t control = data[at];
        size_t n = data[at + 1];
        at += 2;
        if (n > size - at)
            n = size - at;
        uint8_t frame[255];
        std::memcpy(frame, data + at, n);
        at += n;
        if ((control & 0x30) && n >= 4) {
            uint32_t crc = crc32_block(frame, int32_t(n) - 4);
            (control & 0x10 ? put_le32 : put_be32)(frame + n - 4, crc);
        }

        if (!(control & 0x40))
            lpkt_set_mode(pkt, control & 3);
        if ((control & 4) && n) {
            tag = frame[0];
            lpkt_set_tag(pkt, tag);
        }
        lpkt_verdict v = lpkt_expect(frame, int32_t(n), lpkt_mode(pkt), tag, lpkt_peer_tag(pkt));
        mlb_t *b = mlb_new(int32_t(n));
        std::memcpy(mlb_data(b), frame, n);
        mlb_reset(b, int32_t(n), 0);
        seen = {lpkt_mode(pkt), int32_t(n), frame, seen.ups};
        int before = seen.ups;
        lpkt_rx(pkt, b);
        if (seen.ups == before)
            require(n <= 4 ? mlb_length(b) == int32_t(n) : mlb_length(b) == 0);
        require((seen.ups > before) == v.up);
        require(lpkt_mode(pkt) == v.mode && lpkt_peer_tag(pkt) == v.peer_tag);
        mlb_free(b);

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
