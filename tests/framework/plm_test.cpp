#include "framework/plm.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Five named layers; the stack is read back top to bottom as their letters,
// after checking that both chains agree and both ends are terminated.
struct Stack : testing::Test {
    plm_t *s = plm_new();
    layer_t l[5]{};

    ~Stack() override { plm_free(s); }

    std::string order()
    {
        std::string out;
        layer_t *prev = nullptr;
        for (layer_t *x = s->top; x; prev = x, x = x->lower) {
            EXPECT_EQ(x->upper, prev);
            out += char('A' + (x - l));
        }
        EXPECT_EQ(s->bottom, prev);
        return out;
    }
    bool unlinked(int i) const { return !l[i].upper && !l[i].lower; }
};

} // namespace

TEST_F(Stack, InsertAtEveryPosition)
{
    plm_insert(s, &l[0], 2, nullptr); // into an empty stack, whatever the position
    EXPECT_EQ(order(), "A");
    plm_insert(s, &l[1], PLM_BELOW, &l[0]); // below the bottom
    plm_insert(s, &l[2], PLM_BELOW, &l[1]);
    EXPECT_EQ(order(), "ABC");
    plm_insert(s, &l[3], PLM_ABOVE, &l[0]); // above the top
    EXPECT_EQ(order(), "DABC");
    plm_insert(s, &l[4], PLM_ABOVE, &l[2]); // into the middle
    EXPECT_EQ(order(), "DABEC");
}

TEST_F(Stack, InsertThatLinksNothing)
{
    plm_insert(s, &l[0], PLM_TOP, nullptr);
    plm_insert(s, &l[1], PLM_TOP, nullptr);
    EXPECT_EQ(order(), "BA");
    for (int32_t pos : {3, -1}) {
        plm_insert(s, &l[2], pos, nullptr);
        EXPECT_EQ(order(), "BA");
        EXPECT_TRUE(unlinked(2));
    }
    // Reference outside the stack, even one with links of its own.
    l[3].lower = &l[4];
    plm_insert(s, &l[2], PLM_BELOW, &l[3]);
    plm_insert(s, &l[2], PLM_ABOVE, &l[3]);
    EXPECT_EQ(order(), "BA");
    EXPECT_TRUE(unlinked(2));
    // A layer already in the stack stays where it is.
    plm_insert(s, &l[1], PLM_BELOW, &l[0]);
    plm_insert(s, &l[0], PLM_TOP, nullptr);
    EXPECT_EQ(order(), "BA");
}

TEST_F(Stack, RemoveKeepsTheStackConsistent)
{
    for (int i = 0; i < 4; ++i)
        plm_insert(s, &l[i], PLM_TOP, nullptr);
    plm_remove(s, &l[4]); // not in the stack: nothing happens
    EXPECT_EQ(order(), "DCBA");
    const struct { int layer; const char *left; } steps[] = {
        {2, "DBA"}, {3, "BA"}, {0, "B"}, {1, ""}};
    for (const auto &st : steps) {
        plm_remove(s, &l[st.layer]);
        EXPECT_EQ(order(), st.left);
        EXPECT_TRUE(unlinked(st.layer));
    }
    EXPECT_EQ(s->top, nullptr);
    mlb_t *buffer = nullptr;
    plm_tx(s, buffer); // empty stack: nothing is called
    plm_rx(s, buffer);
}

TEST_F(Stack, PassesStartAtTheEnds)
{
    static int seen;
    seen = 0;
    l[0].tx = [](layer_t *, mlb_t *) { seen += 1; };
    l[1].rx = [](layer_t *, mlb_t *) { seen += 10; };
    plm_insert(s, &l[0], PLM_TOP, nullptr);
    plm_insert(s, &l[1], PLM_BELOW, &l[0]);
    plm_tx(s, nullptr);
    plm_rx(s, nullptr);
    EXPECT_EQ(seen, 11);
}

TEST_F(Stack, ReferenceRulesEndTheProcess)
{
    EXPECT_DEATH(plm_insert(s, &l[0], PLM_TOP, &l[1]), "existing == 0");
    plm_insert(s, &l[0], PLM_TOP, nullptr);
    EXPECT_DEATH(plm_insert(s, &l[1], PLM_TOP, &l[0]), "existing == 0");
    EXPECT_DEATH(plm_insert(s, &l[1], PLM_BELOW, nullptr), "existing != 0");
    EXPECT_DEATH(plm_tx(s, nullptr), "t->top->tx");
}
