// What a received frame must do to the packet layer, worked out from the
// frame alone: for the fuzzers that check the layer's verdicts and mode.
#pragma once

#include "framework/bytes.h"
#include "layers/lpkt.h"

#include <cstdint>

struct lpkt_verdict {
    int32_t mode;      // the layer's mode afterwards
    uint32_t peer_tag; // the peer's tag afterwards
    bool up;           // the frame goes to the layer above
    int32_t header;    // bytes of tag header in front of its payload
};

// A frame of n bytes into a layer in `mode` whose own tag is `tag`.
inline lpkt_verdict lpkt_expect(const uint8_t *f, int32_t n, int32_t mode, uint32_t tag,
                                uint32_t peer_tag)
{
    lpkt_verdict v{mode, peer_tag, false, mode == LPKT_TAGGED ? 8 : 0};
    if (n <= 4)
        return v;
    uint32_t crc = crc32_block(f, n - 4);
    bool le = crc == get_le32(f + n - 4), be = crc == get_be32(f + n - 4);
    if (mode == LPKT_PLAIN) {
        v.up = le;
        v.mode = !le && be ? LPKT_TAGGED : mode;
    } else if (mode == LPKT_TAGGED) {
        if (be) {
            v.up = n >= 12 && get_be32(f + 4) == tag;
            v.peer_tag = v.up ? get_be32(f) : peer_tag;
        } else if (le) {
            v.mode = LPKT_PLAIN;
        }
    }
    return v;
}
