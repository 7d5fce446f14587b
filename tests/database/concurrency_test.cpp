// Several writers on one database: every number goes out once. A server that
// goes away is told quickly, and found again without help.
#include "tests/database/store_db.h"

#include <algorithm>
#include <chrono>
#include <thread>

#ifdef ZMK_STORE_PG
#include "tests/support/pg_cluster.h"
#endif

namespace {

class Writers : public testing::TestWithParam<std::string> {};

// Each thread its own connection, as separate processes and stations have; some numbers
// are given back and go out again.
void reserve_many(const std::string &db, int who, int count, std::vector<uint64_t> *kept)
{
    std::string why;
    store *t = store_open(db, &why);
    ASSERT_TRUE(t) << why;
    for (int k = 0; k < count; ++k) {
        uint64_t value = 0;
        const std::string run = std::to_string(who) + "-" + std::to_string(k);
        ASSERT_EQ(store_reserve(t, "default", store_db_who(run, "bench", who), &value, &why),
                  LINE_OK)
            << why;
        const char *state = k % 5 == 4 ? "returned" : "used";
        // A record waits only briefly for another writer's lock and is tried
        // again later, as the keeper does from its spool.
        line_status s = LINE_AWAY;
        for (int tries = 0; s == LINE_AWAY && tries < 500; ++tries) {
            if (tries)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            s = store_finish(t, store_db_record(run, "default", value, state), &why);
        }
        EXPECT_EQ(s, LINE_OK) << why;
        if (k % 5 != 4)
            kept->push_back(value);
    }
    store_close(t);
}

} // namespace

TEST_P(Writers, EveryNumberGoesOutOnce)
{
    const std::string db = store_db_new(GetParam());
    std::string why;
    store *t = store_open(db, &why);
    ASSERT_TRUE(t) << why;
    ASSERT_EQ(store_pool_check(t, store_pool{"default"}, &why), LINE_OK) << why;
    store_close(t);

    constexpr int writers = 4, each = 40;
    std::vector<std::vector<uint64_t>> kept(writers);
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back(reserve_many, db, w, each, &kept[w]);
    for (auto &th : threads)
        th.join();
    std::vector<uint64_t> all;
    for (const auto &k : kept)
        all.insert(all.end(), k.begin(), k.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_EQ(all.size(), size_t(writers * each * 4 / 5));
    EXPECT_LE(all.back(), uint64_t(writers * each - 1)); // the given-back ones went out again
}

INSTANTIATE_TEST_SUITE_P(Store, Writers, testing::ValuesIn(store_db_kinds()), store_db_kind_name);

#ifdef ZMK_STORE_PG
// The server stops mid-shift: calls answer "away" within the connect bound, and the first
// call after it is back succeeds by itself.
TEST(StoreServer, AwayWhileStoppedBackByItself)
{
    std::string why;
    pg_cluster *c = pg_cluster_new(&why);
    ASSERT_TRUE(c) << why;
    store *t = store_open(pg_cluster_uri(c), &why);
    ASSERT_TRUE(t) << why;
    uint64_t value = 0;
    ASSERT_EQ(store_pool_check(t, store_pool{"default"}, &why), LINE_OK) << why;
    ASSERT_EQ(store_reserve(t, "default", store_db_who("a", "h", 1), &value, &why), LINE_OK);
    ASSERT_TRUE(pg_cluster_stop(c, &why)) << why;
    for (int k = 0; k < 2; ++k) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(store_reserve(t, "default", store_db_who("b", "h", 1), &value, &why), LINE_AWAY);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
        EXPECT_FALSE(why.empty());
    }
    ASSERT_TRUE(pg_cluster_start(c, &why)) << why;
    EXPECT_EQ(store_reserve(t, "default", store_db_who("c", "h", 1), &value, &why), LINE_OK) << why;
    EXPECT_EQ(value, 1u);
    // Restarted between two calls: the dead connection is noticed and replaced within the call.
    ASSERT_TRUE(pg_cluster_stop(c, &why) && pg_cluster_start(c, &why)) << why;
    EXPECT_EQ(store_reserve(t, "default", store_db_who("d", "h", 1), &value, &why), LINE_OK) << why;
    store_close(t);
    EXPECT_EQ(store_open("postgresql://zmk@127.0.0.1:1/zmk", &why), nullptr);
    EXPECT_NE(why.find("127.0.0.1"), std::string::npos) << why;
    pg_cluster_free(c);
}
#endif
