#include "framework/bytes.h"
#include "framework/mlb.h"

#include <gtest/gtest.h>

TEST(Smoke, Crc) { EXPECT_EQ(crc32_block(reinterpret_cast<const uint8_t *>("123456789"), 9), 0xCBF43926u); }

TEST(SmokeDeath, PushPastHeadroom)
{
    mlb_t *t = mlb_new(100);
    mlb_reset(t, 0, 12);
    EXPECT_DEATH(mlb_push_header(t, 13), "Assertion failed: check\\(t\\), file framework/mlb.cpp, line \\d+");
    mlb_free(t);
}
