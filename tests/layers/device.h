// An in-memory bottom layer that plays the device: records what the host
// sends and answers each command with a packet of its own kind.
#pragma once

#include "framework/bytes.h"
#include "framework/layer.h"
#include "framework/mlb.h"

#include <array>
#include <cstring>
#include <vector>

using frame_t = std::array<uint8_t, 64>;

// One packet around `payload`; returns its length.
inline int make_frame(frame_t &out, const void *payload, int n, bool tagged, uint32_t w0 = 0,
                      uint32_t w1 = 0)
{
    int h = tagged ? 8 : 0;
    put_be32(out.data(), w0);
    put_be32(out.data() + 4, w1);
    std::memcpy(out.data() + h, payload, size_t(n));
    uint32_t crc = crc32_block(out.data(), h + n);
    (tagged ? put_be32 : put_le32)(out.data() + h + n, crc);
    return h + n + 4;
}

enum class Reply { Ack, None, BadCrc, NotAck, AckX, Lower, ToTagged, ToPlain, ForeignTag };

struct Device {
    layer_t layer{};
    bool tagged = false;
    Reply next = Reply::Ack; // applies to the next reply only
    int frames = 0;
    std::array<uint8_t, 512> last{};
    int last_len = 0;
    std::vector<std::vector<uint8_t>> *log = nullptr;

    Device()
    {
        layer.p_ = this;
        layer.tx = [](layer_t *t, mlb_t *b) { static_cast<Device *>(t->p_)->sent(b); };
        layer.rx = [](layer_t *t, mlb_t *b) { static_cast<Device *>(t->p_)->answer(t, b); };
    }

    void sent(mlb_t *b)
    {
        last_len = mlb_length(b);
        std::memcpy(last.data(), mlb_header(b), size_t(last_len));
        ++frames;
        if (log)
            log->emplace_back(last.data(), last.data() + last_len);
    }

    // Delivers `n` bytes the way the link layer does: straight into the
    // storage, then the received length with no headroom.
    static void deliver(layer_t *t, mlb_t *b, const uint8_t *bytes, int n)
    {
        mlb_reset(b, -1, 0);
        std::memcpy(mlb_data(b), bytes, size_t(n));
        mlb_reset(b, n, 0);
        if (t->upper)
            t->upper->rx(t->upper, b);
    }

    void answer(layer_t *t, mlb_t *b)
    {
        Reply r = next;
        next = Reply::Ack;
        if (r == Reply::ToTagged || r == Reply::ToPlain)
            tagged = r == Reply::ToTagged;
        const char *text = r == Reply::NotAck ? "NAK\0ok" : r == Reply::AckX ? "ACKXok"
                         : r == Reply::Lower  ? "ack\0ok" : "ACK\0ok";
        frame_t f;
        int n = make_frame(f, text, 6, tagged, 0, r == Reply::ForeignTag ? 9 : 0);
        if (r == Reply::BadCrc)
            f[2] ^= 0x10;
        deliver(t, b, f.data(), r == Reply::None ? 0 : n);
    }
};
