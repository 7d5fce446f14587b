// A database made by the first zmk-cli (schema version 1) is brought up to
// date in place by whoever opens it first, its rows kept.
#include "tests/database/store_db.h"

#include <thread>

namespace {

class Schema : public testing::TestWithParam<std::string> {};

// Version 1's tables, as the first zmk-cli made them.
std::vector<std::string> version_1_tables(const std::string &id)
{
    return {
        "CREATE TABLE zmk_schema (version INTEGER NOT NULL)",
        "CREATE TABLE pools (name TEXT PRIMARY KEY, kind TEXT NOT NULL CHECK (kind IN ('range', "
        "'list')), start BIGINT, step BIGINT, last BIGINT, next BIGINT, list_count BIGINT, "
        "list_crc TEXT, created TEXT NOT NULL)",
        "CREATE TABLE serials (pool TEXT NOT NULL REFERENCES pools (name), value BIGINT NOT NULL, "
        "position BIGINT NOT NULL, state TEXT NOT NULL CHECK (state IN ('free', 'reserved', "
        "'used', 'spoiled')), run TEXT, host TEXT, pid BIGINT, port TEXT, usb_serial TEXT, "
        "usb_location TEXT, reserved_at TEXT, seen_at TEXT, ended_at TEXT, "
        "PRIMARY KEY (pool, value))",
        "CREATE INDEX serials_free ON serials (pool, state, position)",
        "CREATE INDEX serials_open ON serials (state, host, pid)",
        "CREATE TABLE serial_events (id " + id +
            ", pool TEXT NOT NULL, value BIGINT NOT NULL, event TEXT NOT NULL CHECK (event IN "
            "('reserved', 'used', 'spoiled', 'returned')), time TEXT NOT NULL, host TEXT, "
            "pid BIGINT, port TEXT, usb_serial TEXT, usb_location TEXT, run TEXT)",
        "CREATE INDEX serial_events_value ON serial_events (pool, value)",
        "CREATE TABLE records (id " + id +
            ", run TEXT UNIQUE, time TEXT, host TEXT, port TEXT, usb_vid TEXT, usb_pid TEXT, "
            "usb_serial TEXT, usb_location TEXT, image_name TEXT, image_size BIGINT, "
            "image_crc32 TEXT, result TEXT, exit INTEGER, message TEXT, seconds DOUBLE "
            "PRECISION, exchanges BIGINT, repeats BIGINT, serial_pool TEXT, serial_value BIGINT, "
            "serial_bytes TEXT, serial_state TEXT, record TEXT NOT NULL)",
        "CREATE INDEX records_time ON records (time)",
        "CREATE INDEX records_serial ON records (serial_pool, serial_value)",
        "INSERT INTO zmk_schema (version) VALUES (1)",
    };
}

// A line mid-shift: one run recorded, number 1 reserved by a run still going.
void make_version_1(const std::string &db)
{
    const store_backend *b = store_is_server_name(db) ? store_pg_backend() : store_sqlite_backend();
    for (const std::string &sql : version_1_tables(b->id_column))
        store_db_query(db, sql);
    store_db_query(db, "INSERT INTO pools (name, kind, start, step, last, next, created) VALUES "
                       "('default', 'range', 1, 1, 100, 2, '2026-12-06T09:00:00Z')");
    store_db_query(db, "INSERT INTO serials (pool, value, position, state, run, host, pid) VALUES "
                       "('default', 1, 0, 'reserved', 'run-1', 'bench-3', 42)");
    store_db_query(db, "INSERT INTO records (run, time, result, record) VALUES "
                       "('run-0', '2026-12-06T10:00:00Z', 'ok', '{\"run\":\"run-0\"}')");
}

} // namespace

// Several stations open it at once: one upgrades, the others find it done.
TEST_P(Schema, Version1IsUpgradedInPlace)
{
    const std::string db = store_db_new(GetParam());
    make_version_1(db);
    std::vector<store *> opened(4);
    std::vector<std::string> why(opened.size());
    std::vector<std::thread> threads;
    for (size_t k = 0; k < opened.size(); ++k)
        threads.emplace_back([&, k] { opened[k] = store_open(db, &why[k]); });
    for (auto &th : threads)
        th.join();
    for (size_t k = 0; k < opened.size(); ++k)
        EXPECT_TRUE(opened[k]) << why[k];
    for (size_t k = 1; k < opened.size(); ++k)
        store_close(opened[k]);
    store *t = opened[0];
    ASSERT_TRUE(t);
    EXPECT_EQ(store_db_query(db, "SELECT version FROM zmk_schema"),
              (std::vector<store_row>{{"5"}}));
    EXPECT_EQ(store_db_query(db, "SELECT run, result, record FROM records"),
              (std::vector<store_row>{{"run-0", "ok", "{\"run\":\"run-0\"}"}}));

    // The reserved number's run ends on the new schema; the pool goes on where it was.
    const std::string line =
        "{\"time\":\"2026-12-07T15:00:00Z\",\"host\":\"bench-3\",\"image\":{\"crc32\":"
        "\"1a2b3c4d\",\"written_crc32\":\"1a2b3c4d\"},\"result\":\"ok\",\"serial\":{\"pool\":"
        "\"default\",\"at\":256,\"format\":\"u32le\",\"value\":1,\"state\":\"used\"},"
        "\"run\":\"run-1\"}";
    std::string w;
    EXPECT_EQ(store_finish(t, line, &w), LINE_OK) << w;
    EXPECT_EQ(store_db_query(db, "SELECT image_written_crc32, serial_state, serial_at, "
                                 "serial_format FROM records WHERE run = 'run-1'"),
              (std::vector<store_row>{{"1a2b3c4d", "used", "256", "u32le"}}));
    EXPECT_EQ(store_db_query(db, "SELECT state, pid FROM serials WHERE value = 1"),
              (std::vector<store_row>{{"used", "42"}}));
    uint64_t value = 0;
    EXPECT_EQ(store_reserve(t, "default", store_db_who("run-2", "bench-3", 42), &value, &w),
              LINE_OK)
        << w;
    EXPECT_EQ(value, 2u);
    // Reservations say their machine from now on; the one made before stays without.
    EXPECT_EQ(store_db_query(db, "SELECT s.value, s.machine, e.event, e.machine FROM serials s "
                                 "JOIN serial_events e ON e.value = s.value ORDER BY e.id"),
              (std::vector<store_row>{{"1", std::nullopt, "used", std::nullopt},
                                      {"2", "machine-a", "reserved", "machine-a"}}));
    // A pool made before pools kept their place takes the one first given.
    store_pool placed{"default"};
    placed.numbers = false;
    placed.placed = true;
    placed.at = 0x100;
    placed.format = "u32le";
    store_pool held;
    EXPECT_EQ(store_pool_open(t, placed, STORE_POOL_EXISTING, false, &held, &w), LINE_OK) << w;
    EXPECT_TRUE(held.placed && held.at == 0x100 && held.format == "u32le");
    placed.at = 0x104;
    EXPECT_EQ(store_pool_open(t, placed, STORE_POOL_EXISTING, false, &held, &w), LINE_REFUSED);
    EXPECT_NE(w.find("u32le at 0x100, not u32le at 0x104"), std::string::npos) << w;
    store_close(t);
}

namespace {

// Version 3, as versions 2 and 3 left a version-1 database: a record kept.
void make_version_3(const std::string &db)
{
    make_version_1(db);
    for (const char *sql : {
             "ALTER TABLE records ADD COLUMN image_written_crc32 TEXT",
             "ALTER TABLE pools ADD COLUMN at BIGINT",
             "ALTER TABLE pools ADD COLUMN format TEXT",
             "ALTER TABLE serials ADD COLUMN at BIGINT",
             "ALTER TABLE serials ADD COLUMN format TEXT",
             "ALTER TABLE serials ADD COLUMN machine TEXT",
             "ALTER TABLE serial_events ADD COLUMN machine TEXT",
             "ALTER TABLE records ADD COLUMN serial_at BIGINT",
             "ALTER TABLE records ADD COLUMN serial_format TEXT",
             "UPDATE zmk_schema SET version = 3",
         })
        store_db_query(db, sql);
}

} // namespace

// Version 4 adds what made a record; the records before it say nothing of
// it. Version 5 adds the bays' insertions (added up across shifts), the
// audit trail and how long a run's replies took.
TEST_P(Schema, Version3GainsTheJobAndReplyColumnsKeepingItsRows)
{
    const std::string db = store_db_new(GetParam());
    make_version_3(db);
    std::string why;
    store *t = store_open(db, &why);
    ASSERT_TRUE(t) << why;
    EXPECT_EQ(store_db_query(db, "SELECT version FROM zmk_schema"),
              (std::vector<store_row>{{"5"}}));
    EXPECT_EQ(store_db_query(db, "SELECT run, result, image_sha256, job_name, job_key_id, "
                                 "reply_ms FROM records"),
              (std::vector<store_row>{
                  {"run-0", "ok", std::nullopt, std::nullopt, std::nullopt, std::nullopt}}));
    const std::string line =
        "{\"time\":\"2026-12-07T15:00:00Z\",\"image\":{\"sha256\":\"" + std::string(64, 'a') +
        "\"},\"result\":\"ok\",\"job\":{\"name\":\"sensor-board\",\"version\":\"2.4.1\","
        "\"sha256\":\"" +
        std::string(64, 'b') +
        "\",\"key_id\":\"A98BBBD46C5E6C4C\"},\"reply_ms\":16.3,\"run\":\"run-1\"}";
    EXPECT_EQ(store_finish(t, line, &why), LINE_OK) << why;
    EXPECT_EQ(store_db_query(db, "SELECT image_sha256, job_name, job_version, job_sha256, "
                                 "job_key_id, reply_ms FROM records WHERE run = 'run-1'"),
              (std::vector<store_row>{{std::string(64, 'a'), "sensor-board", "2.4.1",
                                       std::string(64, 'b'), "A98BBBD46C5E6C4C", "16.3"}}));
    EXPECT_EQ(store_bays_add(t, "bench-3", "bay-1", 2, &why), LINE_OK) << why;
    EXPECT_EQ(store_bays_add(t, "bench-3", "bay-1", 3, &why), LINE_OK) << why;
    std::vector<std::pair<std::string, int64_t>> bays;
    EXPECT_EQ(store_bays_load(t, "bench-3", &bays, &why), LINE_OK) << why;
    EXPECT_EQ(bays, (std::vector<std::pair<std::string, int64_t>>{{"bay-1", 5}}));
    EXPECT_EQ(store_audit(t, {"2026-12-07T15:00:00Z", "bench-3", "bay cleared", "bay-1", "::1", ""},
                          &why),
              LINE_OK)
        << why;
    EXPECT_EQ(store_db_query(db, "SELECT event, slot, viewer, detail FROM audit"),
              (std::vector<store_row>{{"bay cleared", "bay-1", "::1", std::nullopt}}));
    store_close(t);
}

INSTANTIATE_TEST_SUITE_P(Store, Schema, testing::ValuesIn(store_db_kinds()), store_db_kind_name);
