// SQLite as the Windows build compiles it, on a file in the temporary folder.
// Windows locks a file per handle, so two connections of one process contend
// as two programs would: Wine's locking is what this exercises.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class StoreWin : public ::testing::Test {
  protected:
    fs::path dir =
        fs::temp_directory_path() / ("zmk-store-" + std::to_string(std::random_device{}()));
    std::string file = (dir / "line.db").string();

    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override
    {
        for (sqlite3 *db : open_dbs)
            EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
        std::error_code ec;
        fs::remove_all(dir, ec);
        EXPECT_FALSE(ec) << ec.message();
    }

    sqlite3 *open()
    {
        sqlite3 *db = nullptr;
        const int rc =
            sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        open_dbs.push_back(db);
        EXPECT_EQ(rc, SQLITE_OK) << sqlite3_errmsg(db);
        return db;
    }

    std::vector<sqlite3 *> open_dbs;
};

int exec(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// The serials in the table, in order, as "1,2,".
std::string serials(sqlite3 *db)
{
    sqlite3_stmt *st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT serial FROM unit ORDER BY serial", -1, &st, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    std::string out;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        out += std::to_string(sqlite3_column_int64(st, 0)) + ",";
    EXPECT_EQ(rc, SQLITE_DONE) << sqlite3_errmsg(db);
    sqlite3_finalize(st);
    return out;
}

TEST_F(StoreWin, DurableTransactionOnAFile)
{
    EXPECT_STREQ(sqlite3_libversion(), SQLITE_VERSION);
    sqlite3 *db = open();
    ASSERT_EQ(exec(db, "PRAGMA synchronous=FULL"), SQLITE_OK);
    ASSERT_EQ(exec(db, "BEGIN IMMEDIATE"), SQLITE_OK) << sqlite3_errmsg(db);
    ASSERT_EQ(exec(db, "CREATE TABLE unit(serial INTEGER PRIMARY KEY, board TEXT NOT NULL)"),
              SQLITE_OK);
    ASSERT_EQ(exec(db, "INSERT INTO unit VALUES (1, 'a'), (2, 'b')"), SQLITE_OK);
    ASSERT_EQ(exec(db, "COMMIT"), SQLITE_OK) << sqlite3_errmsg(db);
    EXPECT_EQ(serials(db), "1,2,");
}

TEST_F(StoreWin, TwoConnectionsLockAndSeeEachOthersCommits)
{
    sqlite3 *a = open(), *b = open();
    ASSERT_EQ(exec(a, "CREATE TABLE unit(serial INTEGER PRIMARY KEY)"), SQLITE_OK);
    ASSERT_EQ(exec(a, "BEGIN IMMEDIATE"), SQLITE_OK);
    ASSERT_EQ(exec(a, "INSERT INTO unit VALUES (1)"), SQLITE_OK);
    // a holds the write lock: b is refused at once (no busy timeout set),
    // and still reads the last commit.
    EXPECT_EQ(exec(b, "BEGIN IMMEDIATE"), SQLITE_BUSY);
    EXPECT_EQ(serials(b), "");
    ASSERT_EQ(exec(a, "COMMIT"), SQLITE_OK) << sqlite3_errmsg(a);
    EXPECT_EQ(serials(b), "1,");

    ASSERT_EQ(exec(b, "BEGIN IMMEDIATE"), SQLITE_OK) << sqlite3_errmsg(b);
    ASSERT_EQ(exec(b, "INSERT INTO unit VALUES (2)"), SQLITE_OK);
    ASSERT_EQ(exec(b, "COMMIT"), SQLITE_OK) << sqlite3_errmsg(b);
    EXPECT_EQ(serials(a), "1,2,");
}

} // namespace
