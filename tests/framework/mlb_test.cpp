#include "framework/mlb.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

enum Op { Reset, PutTail, PushHeader, PullHeader, TrimTail };

// A 16-byte command wrapped in an 8-byte header and a 4-byte checksum, then a
// 28-byte reply unwrapped. Columns: op, n (or length, headroom); header, data
// and tail as offset, length; message length; offset returned (-1: none).
constexpr int32_t worked[][11] = {
    {Reset, 0, 12, 12, 0, 12, 0, 12, 0, 0, -1},
    {PutTail, 8, 0, 12, 0, 12, 0, 12, 8, 8, 12},
    {PutTail, 4, 0, 12, 0, 12, 8, 20, 4, 12, 20},
    {PutTail, 4, 0, 12, 0, 12, 12, 24, 4, 16, 24},
    {PushHeader, 0, 0, 12, 0, 12, 12, 24, 4, 16, 12},
    {PutTail, 4, 0, 12, 0, 12, 16, 28, 4, 20, 28},
    {PushHeader, 8, 0, 4, 8, 12, 16, 28, 4, 28, 4},
    {Reset, 10000, 0, 0, 0, 0, 10000, 10000, 0, 10000, -1},
    {Reset, 28, 0, 0, 0, 0, 28, 28, 0, 28, -1},
    {TrimTail, 4, 0, 0, 0, 0, 24, 24, 4, 28, -1},
    {PullHeader, 8, 0, 0, 8, 8, 16, 24, 4, 28, -1},
    {PullHeader, 0, 0, 8, 0, 8, 16, 24, 4, 20, -1},
    {TrimTail, 0, 0, 8, 0, 8, 16, 24, 0, 16, -1},
};

TEST(Mlb, WorkedExampleStepByStep)
{
    mlb_t *t = mlb_new(10000);
    uint8_t *base = mlb_data(t);
    for (const auto &s : worked) {
        int32_t ret = -1;
        switch (s[0]) {
        case Reset: mlb_reset(t, s[1], s[2]); break;
        case PutTail: ret = int32_t(mlb_put_tail(t, s[1]) - base); break;
        case PushHeader: ret = int32_t(mlb_push_header(t, s[1]) - base); break;
        case PullHeader: mlb_pull_header(t, s[1]); break;
        default: mlb_trim_tail(t, s[1]); break;
        }
        EXPECT_EQ((std::vector<int32_t>{t->header_offset, t->header_length, t->data_offset,
                                        t->data_length, t->tail_offset, t->tail_length,
                                        mlb_length(t), ret}),
                  std::vector<int32_t>(s + 3, s + 11))
            << "step " << (&s - worked) + 1;
    }
    mlb_reset(t, -1, 12); // everything behind the headroom
    EXPECT_EQ(t->data_length, 9988);
    mlb_free(t);
}

// Every way of taking a region outside the storage or a length below zero
// ends the process before a pointer outside the block is handed out.
TEST(MlbDeath, RefusesRegionsOutsideTheStorage)
{
    const struct {
        void (*op)(mlb_t *);
        const char *expr;
    } cases[] = {
        // A region check shows the regions after its expression.
        {[](mlb_t *t) { mlb_push_header(t, 13); }, "check\\(t\\).*\n  header -1\\+13, data 12\\+0"},
        {[](mlb_t *t) { mlb_put_tail(t, 89); }, "bounded\\(t\\)"},
        {[](mlb_t *t) { mlb_trim_tail(t, 1); }, "bounded\\(t\\)"},
        {[](mlb_t *t) { mlb_put_tail(t, -1); }, ""},
        {[](mlb_t *t) { mlb_push_header(t, 0x7FFFFFFF); }, ""},
        {[](mlb_t *t) { mlb_reset(t, 0x7FFFFFFF, 0x7FFFFFFF); }, ""},
        {[](mlb_t *t) { mlb_reset(t, 0, -1); }, ""},
    };
    for (const auto &c : cases) {
        mlb_t *t = mlb_new(100);
        mlb_reset(t, 0, 12);
        std::string pattern = std::string("Assertion failed: ") + c.expr;
        EXPECT_DEATH(c.op(t), pattern);
        mlb_free(t);
    }
}
