// Byte order, CRC-32 and millisecond ticks. Wire fields are read and written
// one byte at a time, so they need no alignment and their order is explicit.
#pragma once

#include <array>
#include <cstdint>

uint32_t get_le32(const uint8_t *p);
uint32_t get_be32(const uint8_t *p);
void put_le32(uint8_t *p, uint32_t value);
void put_be32(uint8_t *p, uint32_t value);
uint32_t get_le16(const uint8_t *p);
uint32_t get_be16(const uint8_t *p);
int32_t get_be16_signed(const uint8_t *p);
void put_le16(uint8_t *p, uint32_t value);
void put_be16(uint8_t *p, uint32_t value);

// Standard reflected CRC-32 (ISO 3309 / ITU-T V.42), polynomial 0xEDB88320.
constexpr uint32_t crc32_poly = 0xEDB88320u;

constexpr std::array<uint32_t, 256> crc32_make_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int k = 0; k < 8; ++k)
            r = (r & 1) ? (r >> 1) ^ crc32_poly : r >> 1;
        table[i] = r;
    }
    return table;
}

// Compile-time data: nothing is computed at start-up.
inline constexpr std::array<uint32_t, 256> crc32_table = crc32_make_table();

uint32_t crc32_block(const uint8_t *p, int32_t count);
uint32_t crc32_byte(uint32_t reg, uint32_t byte);

// A millisecond timer on the tick; the product's waits count on the platform
// clock directly, so this serves the tests. limit 0: (re)start the timer at
// `stamp` and return 1. Otherwise 1 once more
// than `limit` ms have passed since `stamp` (wrap-safe), else 0.
int tick_elapsed(uint32_t *stamp, uint32_t limit);

// The tick source; tests replace it to step time by hand. nullptr restores
// the platform's millisecond tick.
using tick_source = uint32_t (*)();
void tick_set_source(tick_source now);
