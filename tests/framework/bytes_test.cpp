#include "framework/bytes.h"

#include <gtest/gtest.h>

#include <vector>

TEST(Bytes, ByteOrderAndCrc)
{
    const uint8_t in[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFE, 0x7F, 0xFF};
    EXPECT_EQ(get_le32(in + 1), 0x04030201u); // unaligned on purpose
    EXPECT_EQ(get_be32(in + 1), 0x01020304u);
    EXPECT_EQ(get_be16(in + 5), 65534u);
    EXPECT_EQ(get_be16_signed(in + 5), -2);
    EXPECT_EQ(get_be16_signed(in + 7), 32767);
    EXPECT_EQ(get_le16(in + 6), 0x7FFEu);
    uint8_t out[7]{};
    put_le32(out + 1, 0x11223344);
    put_be16(out + 5, 0x12345); // bits above 15 dropped
    put_le16(out, 0xABCD);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 7),
              (std::vector<uint8_t>{0xCD, 0xAB, 0x33, 0x22, 0x11, 0x23, 0x45}));
    put_be32(out + 3, 0x11223344);
    EXPECT_EQ(get_le32(out + 3), 0x44332211u);

    const auto *digits = reinterpret_cast<const uint8_t *>("123456789");
    EXPECT_EQ(crc32_block(digits, 9), 0xCBF43926u);
    EXPECT_EQ(crc32_block(digits, 0), 0u);
    uint32_t reg = 0xFFFFFFFFu;
    for (int i = 0; i < 9; ++i)
        reg = crc32_byte(reg, digits[i] | 0x100u); // only the low 8 bits count
    EXPECT_EQ(~reg, 0xCBF43926u);
}

static uint32_t fake_now;

TEST(Bytes, TickElapsedAcrossTheWrap)
{
    tick_set_source([] { return fake_now; });
    for (uint32_t start : {1000u, 0xFFFFFF00u}) {
        uint32_t stamp = 0;
        fake_now = start;
        EXPECT_EQ(tick_elapsed(&stamp, 0), 1);
        EXPECT_EQ(stamp, start);
        EXPECT_EQ(tick_elapsed(&stamp, 1000), 0);
        fake_now = start + 1000;
        EXPECT_EQ(tick_elapsed(&stamp, 1000), 0);
        fake_now = start + 1001;
        EXPECT_EQ(tick_elapsed(&stamp, 1000), 1);
    }
    tick_set_source(nullptr);
}
