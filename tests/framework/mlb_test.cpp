#include "framework/mlb.h"

#include <gtest/gtest.h>

namespace {

enum Op { Reset, PutTail, PushHeader, PullHeader, TrimTail };

struct Step {
    Op op;
    int32_t a, b;            // n, or (length, headroom) for Reset
    int32_t h[2], d[2], t[2]; // (offset, length) of header, data, tail
    int32_t length;
    int32_t returns; // storage offset of the returned pointer, -1 for none
};

// A 16-byte command wrapped in an 8-byte header and a 4-byte checksum, sent,
// then a 28-byte reply unwrapped the same way.
constexpr Step worked[] = {
    {Reset, 0, 12, {12, 0}, {12, 0}, {12, 0}, 0, -1},
    {PutTail, 8, 0, {12, 0}, {12, 0}, {12, 8}, 8, 12},
    {PutTail, 4, 0, {12, 0}, {12, 8}, {20, 4}, 12, 20},
    {PutTail, 4, 0, {12, 0}, {12, 12}, {24, 4}, 16, 24},
    {PushHeader, 0, 0, {12, 0}, {12, 12}, {24, 4}, 16, 12},
    {PutTail, 4, 0, {12, 0}, {12, 16}, {28, 4}, 20, 28},
    {PushHeader, 8, 0, {4, 8}, {12, 16}, {28, 4}, 28, 4},
    {Reset, 10000, 0, {0, 0}, {0, 10000}, {10000, 0}, 10000, -1},
    {Reset, 28, 0, {0, 0}, {0, 28}, {28, 0}, 28, -1},
    {TrimTail, 4, 0, {0, 0}, {0, 24}, {24, 4}, 28, -1},
    {PullHeader, 8, 0, {0, 8}, {8, 16}, {24, 4}, 28, -1},
    {PullHeader, 0, 0, {8, 0}, {8, 16}, {24, 4}, 20, -1},
    {TrimTail, 0, 0, {8, 0}, {8, 16}, {24, 0}, 16, -1},
};

int32_t apply(mlb_t *t, const Step &s)
{
    uint8_t *base = mlb_data(t) - t->data_offset;
    switch (s.op) {
    case Reset: mlb_reset(t, s.a, s.b); return -1;
    case PutTail: return int32_t(mlb_put_tail(t, s.a) - base);
    case PushHeader: return int32_t(mlb_push_header(t, s.a) - base);
    case PullHeader: mlb_pull_header(t, s.a); return -1;
    case TrimTail: mlb_trim_tail(t, s.a); return -1;
    }
    return -1;
}

} // namespace

TEST(Mlb, WorkedExampleStepByStep)
{
    mlb_t *t = mlb_new(10000);
    EXPECT_EQ(mlb_length(t), 0);
    EXPECT_EQ(mlb_data_offset(t), 0);
    int i = 0;
    for (const Step &s : worked) {
        SCOPED_TRACE(testing::Message() << "step " << ++i);
        EXPECT_EQ(apply(t, s), s.returns);
        EXPECT_EQ(t->header_offset, s.h[0]);
        EXPECT_EQ(t->header_length, s.h[1]);
        EXPECT_EQ(t->data_offset, s.d[0]);
        EXPECT_EQ(t->data_length, s.d[1]);
        EXPECT_EQ(t->tail_offset, s.t[0]);
        EXPECT_EQ(t->tail_length, s.t[1]);
        EXPECT_EQ(mlb_length(t), s.length);
    }
    mlb_reset(t, -1, 12); // negative length: everything behind the headroom
    EXPECT_EQ(t->data_length, 9988);
    EXPECT_EQ(t->tail_offset, 10000);
    mlb_free(t);
}

// Every way of taking a region outside the storage, or a length below zero,
// ends the process before a pointer outside the block can be handed out.
TEST(MlbDeath, RefusesRegionsOutsideTheStorage)
{
    struct Case {
        void (*op)(mlb_t *);
        const char *expr;
    };
    const Case cases[] = {
        {[](mlb_t *t) { mlb_push_header(t, 13); }, "check\\(t\\)"},
        {[](mlb_t *t) { mlb_put_tail(t, 89); }, "bounded\\(t\\)"},
        {[](mlb_t *t) { mlb_put_tail(t, -1); }, "fits\\(t, n\\)"},
        {[](mlb_t *t) { mlb_push_header(t, 0x7FFFFFFF); }, "fits\\(t, n\\)"},
        {[](mlb_t *t) { mlb_pull_header(t, 1); }, "bounded\\(t\\)"},
        {[](mlb_t *t) { mlb_trim_tail(t, 1); }, "bounded\\(t\\)"},
        {[](mlb_t *t) { mlb_reset(t, 90, 12); }, "in_storage"},
        {[](mlb_t *t) { mlb_reset(t, 0, -1); }, "in_storage"},
        {[](mlb_t *t) { mlb_reset(t, 0x7FFFFFFF, 0x7FFFFFFF); }, "in_storage"},
        {[](mlb_t *) { mlb_reset(nullptr, 0, 0); }, "t != 0"},
        {[](mlb_t *) { mlb_new(-1); }, "capacity >= 0"},
    };
    for (const Case &c : cases) {
        mlb_t *t = mlb_new(100);
        mlb_reset(t, 0, 12);
        std::string pattern = "Assertion failed: ";
        pattern += c.expr;
        pattern += ".*, file framework/mlb.cpp, line ";
        EXPECT_DEATH(c.op(t), pattern);
        mlb_free(t);
    }
}
