#include "tests/database/store_db.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>

#ifdef ZMK_STORE_PG
#include "tests/support/pg_cluster.h"
#endif

namespace {

std::atomic<int> store_db_count{0};
std::vector<std::filesystem::path> dirs; // the SQLite files' folders, removed at the end
#ifdef ZMK_STORE_PG
pg_cluster *cluster = nullptr;
#endif

// The databases live as long as the test program.
struct store_db_env : testing::Environment {
    void TearDown() override
    {
#ifdef ZMK_STORE_PG
        pg_cluster_free(cluster);
#endif
        std::error_code ec;
        for (const auto &dir : dirs)
            std::filesystem::remove_all(dir, ec);
    }
};
testing::Environment *const env = testing::AddGlobalTestEnvironment(new store_db_env);

#ifdef ZMK_STORE_PG
std::string pg_db_new(const std::string &name)
{
    std::string why;
    if (!cluster)
        cluster = pg_cluster_new(&why);
    std::string uri = cluster ? pg_cluster_create_db(cluster, name, &why) : "";
    EXPECT_FALSE(uri.empty()) << why;
    return uri;
}
#endif

} // namespace

std::string store_db_new(const std::string &kind)
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string name =
        "zmk_store_" + std::to_string(now) + "_" + std::to_string(++store_db_count);
#ifdef ZMK_STORE_PG
    if (kind == "postgresql")
        return pg_db_new(name);
#endif
    EXPECT_EQ(kind, "sqlite");
    const auto dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(dir);
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    dirs.push_back(dir);
    return (dir / "line.db").string();
}

std::vector<store_row> store_db_query(const std::string &db, const std::string &sql,
                                      const std::vector<store_param> &params)
{
    const store_backend *b = store_is_server_name(db) ? store_pg_backend() : store_sqlite_backend();
    std::string why;
    store_conn *c = b->open(db, &why);
    store_rows r;
    EXPECT_TRUE(c) << why;
    if (c) {
        EXPECT_EQ(b->exec(c, sql.c_str(), params, &r, &why), STORE_SQL_OK) << why;
        b->close(c);
    }
    return r.rows;
}

std::string store_db_record(const std::string &run, const std::string &pool, uint64_t value,
                            const char *state)
{
    const std::string serial = state ? "{\"pool\":\"" + pool +
                                           "\",\"value\":" + std::to_string(value) +
                                           ",\"state\":\"" + state + "\"}"
                                     : "null";
    return "{\"time\":\"2026-12-07T15:00:00Z\",\"host\":\"bench-3\",\"port\":\"/dev/ttyUSB0\","
           "\"usb\":{\"vid\":\"0403\",\"serial\":\"A10K3\"},\"result\":\"ok\",\"serial\":" +
           serial + ",\"run\":\"" + run + "\"}";
}

std::vector<std::string> store_db_kinds()
{
#ifdef ZMK_STORE_PG
    return {"sqlite", "postgresql"};
#else
    return {"sqlite"};
#endif
}
