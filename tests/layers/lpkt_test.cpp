#include "layers/lpkt.h"

#include "device.h"

#include <gtest/gtest.h>

namespace {

const std::vector<uint8_t> plain_ack = {0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63};
const std::vector<uint8_t> tagged_ack = {0, 0, 0, 0, 0, 0, 0, 0,
                                         0x41, 0x43, 0x4B, 0x00, 0x39, 0x2C, 0x5C, 0x60};

// lpkt between a recording top layer and the device.
struct Packet : testing::Test {
    mlb_t *buf = mlb_new(10000);
    layer_t *pkt = lpkt_new();
    layer_t top{};
    Device dev;
    std::vector<uint8_t> up; // payload passed up by the last receive
    int ups = 0;

    Packet()
    {
        lpkt_init(pkt);
        top.p_ = this;
        top.rx = [](layer_t *t, mlb_t *b) {
            auto *self = static_cast<Packet *>(t->p_);
            self->up.assign(mlb_data(b), mlb_data(b) + b->data_length);
            ++self->ups;
        };
        pkt->upper = &top;
        pkt->lower = &dev.layer;
        dev.layer.upper = pkt;
    }
    ~Packet() override
    {
        lpkt_free(pkt);
        mlb_free(buf);
    }
    std::vector<uint8_t> send(const std::vector<uint8_t> &payload)
    {
        mlb_reset(buf, 0, 12);
        if (!payload.empty())
            std::memcpy(mlb_put_tail(buf, int32_t(payload.size())), payload.data(), payload.size());
        int before = dev.frames;
        lpkt_tx(pkt, buf);
        if (dev.frames == before)
            return {};
        return {dev.last.begin(), dev.last.begin() + dev.last_len};
    }
    void receive(const std::vector<uint8_t> &frame)
    {
        Device::deliver(&dev.layer, buf, frame.data(), int(frame.size()));
    }
};

const std::vector<uint8_t> ack = {'A', 'C', 'K', 0};

} // namespace

TEST_F(Packet, SendsBothModesByteForByte)
{
    EXPECT_EQ(send(ack), plain_ack);
    lpkt_set_mode(pkt, LPKT_TAGGED);
    EXPECT_EQ(send(ack), tagged_ack);
    lpkt_set_tag(pkt, 0x01020304);
    lpkt_set_peer_tag(pkt, 7);
    auto f = send(ack);
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 8),
              (std::vector<uint8_t>{1, 2, 3, 4, 0, 0, 0, 7}));
    EXPECT_EQ(send({}), std::vector<uint8_t>{}); // empty: nothing goes down
    EXPECT_EQ(mlb_length(buf), 0);
    lpkt_set_mode(pkt, 2); // unknown mode: no frame of undefined shape
    EXPECT_EQ(send(ack), std::vector<uint8_t>{});
}

TEST_F(Packet, ReceiveFollowsThePeer)
{
    struct Case {
        int32_t mode;
        std::vector<uint8_t> frame;
        uint32_t tag;
        bool passes;
        int32_t mode_after;
        int32_t length_after; // buffer length when nothing went up
    };
    auto flipped = plain_ack;
    flipped[1] ^= 0x01;
    frame_t f;
    const uint8_t one = 0x5A;
    auto five = std::vector<uint8_t>(f.begin(), f.begin() + make_frame(f, &one, 1, false));
    // Tagged CRC over 3 bytes only: too short for the header, never read past.
    auto short_tagged = std::vector<uint8_t>(f.begin(), f.begin() + 3);
    short_tagged.resize(7);
    put_be32(short_tagged.data() + 3, crc32_block(short_tagged.data(), 3));
    const Case cases[] = {
        {LPKT_PLAIN, plain_ack, 0, true, LPKT_PLAIN, 0},
        {LPKT_TAGGED, plain_ack, 0, false, LPKT_PLAIN, 0},
        {LPKT_PLAIN, tagged_ack, 0, false, LPKT_TAGGED, 0},
        {LPKT_TAGGED, tagged_ack, 0, true, LPKT_TAGGED, 0},
        {LPKT_TAGGED, tagged_ack, 5, false, LPKT_TAGGED, 0},
        {LPKT_PLAIN, five, 0, true, LPKT_PLAIN, 0},
        {LPKT_TAGGED, {plain_ack.begin(), plain_ack.begin() + 4}, 0, false, LPKT_TAGGED, 4},
        {LPKT_PLAIN, flipped, 0, false, LPKT_PLAIN, 0},
        {LPKT_TAGGED, short_tagged, 0, false, LPKT_TAGGED, 0},
        {2, plain_ack, 0, false, 2, 0},
    };
    int i = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << i++);
        lpkt_set_mode(pkt, c.mode);
        lpkt_set_tag(pkt, c.tag);
        lpkt_set_peer_tag(pkt, 0x55);
        int before = ups;
        receive(c.frame);
        EXPECT_EQ(ups - before, c.passes ? 1 : 0);
        EXPECT_EQ(lpkt_mode(pkt), c.mode_after);
        if (c.passes) {
            int h = c.mode == LPKT_TAGGED ? 8 : 0;
            EXPECT_EQ(up, std::vector<uint8_t>(c.frame.begin() + h, c.frame.end() - 4));
            EXPECT_EQ(mlb_length(buf), int32_t(c.frame.size()));
            EXPECT_EQ(lpkt_peer_tag(pkt), c.mode == LPKT_TAGGED ? 0u : 0x55u);
        } else {
            EXPECT_EQ(mlb_length(buf), c.length_after);
            EXPECT_EQ(lpkt_peer_tag(pkt), 0x55u);
        }
    }
}

TEST_F(Packet, LearnsThePeerTagAndKeepsTheModeForSymmetricTrailers)
{
    lpkt_set_mode(pkt, LPKT_TAGGED);
    frame_t f;
    receive({f.begin(), f.begin() + make_frame(f, "ACK", 4, true, 7, 0)});
    EXPECT_EQ(lpkt_peer_tag(pkt), 7u);
    auto sent = send(ack);
    EXPECT_EQ(std::vector<uint8_t>(sent.begin() + 4, sent.begin() + 8),
              (std::vector<uint8_t>{0, 0, 0, 7}));

    // A trailer that reads the same both ways never switches the mode.
    uint8_t frame[16]{};
    for (uint32_t k = 0;; ++k) {
        put_le32(frame + 8, k);
        put_le32(frame + 12, crc32_block(frame, 12));
        if (get_le32(frame + 12) == get_be32(frame + 12))
            break;
    }
    for (int32_t mode : {LPKT_PLAIN, LPKT_TAGGED}) {
        lpkt_set_mode(pkt, mode);
        int before = ups;
        receive({frame, frame + 16});
        EXPECT_EQ(ups - before, 1);
        EXPECT_EQ(lpkt_mode(pkt), mode);
    }
}
