#include "framework/plm.h"

#include <gtest/gtest.h>

#include <string>

namespace {

layer_t l[5];

// The stack top to bottom as letters, after checking that both chains agree.
std::string order(const plm_t *s)
{
    std::string out;
    const layer_t *prev = nullptr;
    for (const layer_t *x = s->top; x; prev = x, x = x->lower) {
        EXPECT_EQ(x->upper, prev);
        out += char('A' + (x - l));
    }
    EXPECT_EQ(s->bottom, prev);
    return out;
}

bool unlinked(int i) { return !l[i].upper && !l[i].lower; }

} // namespace

TEST(Plm, InsertAndRemove)
{
    plm_t *s = plm_new();
    plm_insert(s, &l[0], 2, nullptr); // empty stack: any position
    plm_insert(s, &l[1], PLM_BELOW, &l[0]);
    plm_insert(s, &l[2], PLM_ABOVE, &l[0]);
    plm_insert(s, &l[3], PLM_TOP, nullptr);
    plm_insert(s, &l[4], PLM_BELOW, &l[2]);
    EXPECT_EQ(order(s), "DCEAB");
    // A middle layer, the top, the bottom, then the last two.
    const struct {
        int i;
        const char *left;
    } removals[] = {{4, "DCAB"}, {3, "CAB"}, {1, "CA"}, {2, "A"}, {0, ""}};
    for (const auto &r : removals) {
        plm_remove(s, &l[r.i]);
        EXPECT_EQ(order(s), r.left);
        EXPECT_TRUE(unlinked(r.i));
    }
    plm_tx(s, nullptr); // empty stack: nothing is called
    plm_rx(s, nullptr);
    plm_free(s);
}

// What links nothing: an unknown position, a reference outside the stack, a
// layer already in it, removing a layer that is not in it.
TEST(Plm, InsertThatLinksNothing)
{
    plm_t *s = plm_new();
    plm_insert(s, &l[0], PLM_TOP, nullptr);
    plm_insert(s, &l[1], PLM_TOP, nullptr);
    l[3].lower = &l[4];
    plm_insert(s, &l[2], 3, nullptr);
    plm_insert(s, &l[2], -1, nullptr);
    plm_insert(s, &l[2], PLM_BELOW, &l[3]);
    plm_insert(s, &l[2], PLM_ABOVE, &l[3]);
    EXPECT_TRUE(unlinked(2));
    plm_insert(s, &l[1], PLM_BELOW, &l[0]);
    plm_remove(s, &l[3]);
    EXPECT_EQ(order(s), "BA");
    EXPECT_EQ(l[3].lower, &l[4]);
    EXPECT_DEATH(plm_insert(s, &l[2], PLM_TOP, &l[0]), "Assertion failed");
    EXPECT_DEATH(plm_insert(s, &l[2], PLM_ABOVE, nullptr), "Assertion failed");
    EXPECT_DEATH(plm_tx(s, nullptr), "Assertion failed");
    plm_free(s);
}
