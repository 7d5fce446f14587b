#include "framework/bytes.h"

#include "platform/tick.h"

static_assert(crc32_table[1] == 0x77073096u && crc32_table[255] == 0x2D02EF8Du);

uint32_t get_le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t get_be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void put_le32(uint8_t *p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

void put_be32(uint8_t *p, uint32_t value)
{
    p[0] = uint8_t(value >> 24);
    p[1] = uint8_t(value >> 16);
    p[2] = uint8_t(value >> 8);
    p[3] = uint8_t(value);
}

uint32_t get_le16(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t get_be16(const uint8_t *p) { return uint32_t(p[0]) << 8 | uint32_t(p[1]); }
int32_t get_be16_signed(const uint8_t *p) { return int32_t(int8_t(p[0])) * 256 + p[1]; }

void put_le16(uint8_t *p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

void put_be16(uint8_t *p, uint32_t value)
{
    p[0] = uint8_t(value >> 8);
    p[1] = uint8_t(value);
}

uint32_t crc32_block(const uint8_t *p, int32_t count)
{
    uint32_t reg = 0xFFFFFFFFu;
    for (int32_t i = 0; i < count; ++i)
        reg = crc32_table[(reg ^ p[i]) & 0xFF] ^ (reg >> 8);
    return ~reg;
}

uint32_t crc32_byte(uint32_t reg, uint32_t byte)
{
    for (int k = 0; k < 8; ++k) {
        reg = ((reg ^ byte) & 1) ? (reg >> 1) ^ crc32_poly : reg >> 1;
        byte >>= 1;
    }
    return reg;
}

static tick_source tick_now = platform_tick_ms;

void tick_set_source(tick_source now) { tick_now = now ? now : platform_tick_ms; }

int tick_elapsed(uint32_t *stamp, uint32_t limit)
{
    uint32_t now = tick_now();
    if (limit == 0) {
        *stamp = now;
        return 1;
    }
    return uint32_t(now - *stamp) > limit ? 1 : 0;
}
