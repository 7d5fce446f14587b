// The SLIP codec against golden vectors: what goes on the wire for given
// content, and what content a received byte stream gives.
#include "layers/slip.h"

#include <gtest/gtest.h>

#include <vector>

using bytes = std::vector<uint8_t>;

namespace {

// Every frame the stream completes, in order; a frame given up as too long
// shows as "FULL".
std::vector<bytes> decode(const bytes &wire, int cap)
{
    std::vector<uint8_t> dest(size_t(cap > 0 ? cap : 1));
    slip_decoder d;
    slip_decoder_init(&d, dest.data(), cap);
    std::vector<bytes> frames;
    for (uint8_t b : wire) {
        slip_result r = slip_decode(&d, b);
        if (r == SLIP_FRAME)
            frames.emplace_back(dest.begin(), dest.begin() + d.count);
        else if (r == SLIP_FULL)
            frames.push_back({'F', 'U', 'L', 'L'});
    }
    return frames;
}

} // namespace

TEST(Slip, EncodesGoldenVectors)
{
    const bytes content{0x01, 0xC0, 0xDB, 0x02};
    uint8_t out[16];
    ASSERT_EQ(slip_encode(content.data(), 4, out, sizeof out), 8);
    EXPECT_EQ(bytes(out, out + 8), (bytes{0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0}));
    EXPECT_EQ(slip_encode(content.data(), 0, out, sizeof out), 2); // END END
    EXPECT_EQ(slip_encode(content.data(), 4, out, 7), -1);         // one byte short
    EXPECT_EQ(slip_encoded_max(10000), 20002);
}

TEST(Slip, DecodesGoldenVectors)
{
    const std::pair<bytes, std::vector<bytes>> cases[] = {
        {{0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0}, {{0x01, 0xC0, 0xDB, 0x02}}},
        {{0xC0, 0xC0, 0xC0, 0x41, 0x43, 0x4B, 0xC0}, {{0x41, 0x43, 0x4B}}}, // empty frames skipped
        {{0x41, 0xDB, 0xC0, 0x42, 0xC0}, {{0x41, 0xC0, 0x42}}}, // an escaped END is content
        {{0x41, 0xDB, 0x41, 0xC0}, {{0x41, 0x41}}},
        {{0x41, 0xDB, 0xDB, 0xC0}, {{0x41, 0xDB}}},
        {{0xC0, 0x31, 0xC0, 0xC0, 0x32, 0xC0}, {{0x31}, {0x32}}}, // back to back
    };
    for (const auto &[wire, frames] : cases)
        EXPECT_EQ(decode(wire, 100), frames);

    // The byte that would fill the destination gives the frame up.
    EXPECT_EQ(decode({0x55, 0x55, 0xC0}, 3), (std::vector<bytes>{{0x55, 0x55}}));
    EXPECT_EQ(decode({0x55, 0x55, 0x55, 0xC0, 0x56, 0xC0}, 3),
              (std::vector<bytes>{{'F', 'U', 'L', 'L'}, {0x56}}));

    uint8_t dest[8];
    slip_decoder d;
    slip_decoder_init(&d, dest, sizeof dest);
    for (uint8_t b : {0x41, 0xDB, 0x41})
        slip_decode(&d, b);
    EXPECT_TRUE(d.odd_escape) << "a strict reader is told of the odd escape";
}
