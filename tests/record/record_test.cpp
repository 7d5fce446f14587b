// The record and its keeper: one line of JSON with every field, and records
// kept in order in the log and the database, each store on its own.
#include "app/record/keeper.h"
#include "app/record/record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

record_facts facts(const std::string &run, run_result result = RUN_OK)
{
    record_facts f;
    f.host = "bench-3";
    f.port = "/dev/ttyUSB0";
    f.run = run;
    f.image_name = "fw\"1\".bin";
    f.image_size = 60800;
    f.image_crc32 = 0x1234abcd;
    f.written_crc32 = 0x0badf00d;
    f.end = run_end_make(result == RUN_OK ? RUN_EXIT_DONE : RUN_EXIT_SILENT, result, "");
    f.end.seconds = 8.866;
    f.end.exchanges = 265;
    return f;
}

std::vector<std::string> lines_of(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace

// A record is one line of JSON with every field, unknown USB fields as null,
// and a serial number only when the run carried one.
TEST(Record, OneLineWithEveryField)
{
    record_facts f = facts("bench-3-1-2-3");
    f.usb.vid = 0x0403;
    std::snprintf(f.usb.serial, sizeof f.usb.serial, "A5XK3\n");
    std::string line = record_make(f).json;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    for (const char *part :
         {"{\"time\":\"1970-01-01T00:00:00Z\",\"host\":\"bench-3\",\"port\":\"/dev/ttyUSB0\"",
          "\"usb\":{\"vid\":\"0403\",\"pid\":null,\"serial\":\"A5XK3\\n\",\"location\":null,"
          "\"product\":null}",
          "\"image\":{\"name\":\"fw\\\"1\\\".bin\",\"size\":60800,\"crc32\":\"1234abcd\","
          "\"written_crc32\":\"0badf00d\",\"sha256\":null}",
          "\"result\":\"ok\",\"exit\":0,\"message\":null,\"seconds\":8.87,\"exchanges\":265,"
          "\"repeats\":0,\"reply_ms\":null,\"serial\":null,\"job\":null,\"run\":\"bench-3-1-2-3\","
          "\"tool\":\"zmk-"
          "cli "})
        EXPECT_NE(line.find(part), std::string::npos) << part << "\n" << line;

    f.serial_pool = "default";
    f.serial_at = 0x100;
    f.serial_format = "u32le";
    f.serial_value = 100042;
    f.serial_bytes = "aa860100";
    f.serial_state = "used";
    // What made it: the image's hash, the job and the key that sealed it.
    f.image_sha256 = std::string(64, 'a');
    f.job = {true, "sensor-board", "2.4.1", std::string(64, 'b'), "A98BBBD46C5E6C4C"};
    f.end.reply_ms = 16.26; // one decimal
    line = record_make(f).json;
    EXPECT_NE(
        line.find("\"repeats\":0,\"reply_ms\":16.3,\"serial\":{\"pool\":\"default\",\"at\":256,"
                  "\"format\":\"u32le\",\"value\":100042,\"bytes\":\"aa860100\","
                  "\"state\":\"used\"},\"job\":{\"name\":\"sensor-board\",\"version\":"
                  "\"2.4.1\",\"sha256\":\"" +
                  std::string(64, 'b') + "\",\"key_id\":\"A98BBBD46C5E6C4C\"},\"run\""),
        std::string::npos)
        << line;
    EXPECT_NE(line.find("\"written_crc32\":\"0badf00d\",\"sha256\":\"" + std::string(64, 'a')),
              std::string::npos)
        << line;
    // An unsealed job has no key.
    f.job.key_id = "";
    EXPECT_NE(record_make(f).json.find("\"key_id\":null},\"run\""), std::string::npos);
    record_row back;
    ASSERT_TRUE(record_row_parse(line, &back));
    EXPECT_EQ(record_json_of(back), line) << "a spooled line reads back as the same record";
}

namespace {

struct Keeper : ::testing::Test {
    std::string dir;
    store *db = nullptr;
    keeper k;

    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() / ("zmk-keeper-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        setenv("XDG_STATE_HOME", dir.c_str(), 1); // the spool stays here
        std::string why;
        db = store_open(dir + "/line.db", &why);
        ASSERT_NE(db, nullptr) << why;
    }
    void TearDown() override
    {
        store_close(db);
        std::filesystem::remove_all(dir);
    }
    int64_t rows()
    {
        int64_t runs = 0, ok = 0;
        std::string why;
        EXPECT_EQ(store_totals(db, "1970-01-01", &runs, &ok, &why), LINE_OK) << why;
        return runs;
    }
};

} // namespace

// A log that takes no record does not keep it from the database; it waits,
// and the log gets it later in the order the runs ended.
TEST_F(Keeper, EachStoreOnItsOwnAndTheLogInOrder)
{
    keeper_init(&k, "/dev/full", db, "line.db");
    keeper_kept kept = keeper_keep(&k, record_make(facts("run-1")));
    EXPECT_FALSE(kept.kept);
    EXPECT_EQ(kept.why,
              "its record is in the database line.db, not in /dev/full (No space left on device)");
    EXPECT_EQ(rows(), 1) << "the database has it although the log refused it";
    EXPECT_TRUE(keeper_log_waits(&k));
    EXPECT_FALSE(keeper_db_waits(&k));

    // The log is writable again: the waiting record goes first.
    k.log = dir + "/log.jsonl";
    kept = keeper_keep(&k, record_make(facts("run-2", RUN_SILENT)));
    EXPECT_TRUE(kept.kept);
    EXPECT_FALSE(keeper_log_waits(&k));
    const std::vector<std::string> log = lines_of(k.log);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].find("\"run\":\"run-1\""), std::string::npos);
    EXPECT_NE(log[1].find("\"run\":\"run-2\""), std::string::npos);
    EXPECT_EQ(rows(), 2);
}

namespace {

// Another program's write transaction on the file, held until released.
struct file_lock {
    sqlite3 *db = nullptr;
    explicit file_lock(const std::string &path)
    {
        EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    void release()
    {
        sqlite3_close_v2(db); // its transaction rolls back
        db = nullptr;
    }
    ~file_lock() { release(); }
};

const char LOCKED[] =
    "another program has held the file locked for over 0.1 s (database is locked)";

} // namespace

// A record that some store asked for does not hold is not kept; the words say
// where it is and where not, with each refusal's reason.
TEST_F(Keeper, TheWordsSayWhichStoreHoldsTheRecord)
{
    const std::string log = dir + "/log.jsonl", full = "/dev/full (No space left on device)";
    const std::string no_spool = dir + "/gone/spool.jsonl";
    const std::string refused =
        std::string(LOCKED) + "; the spool " + no_spool + " cannot be written";
    struct {
        std::string log;
        bool spool;
        std::string words;
    } cases[] = {
        {log, false,
         "its record is in " + log + ", neither in the database line.db nor in its spool (" +
             refused + ")"},
        {"/dev/full", true,
         "its record is in the spool %s for the database line.db, not in " + full},
        {"/dev/full", false,
         "its record was not kept: cannot write " + full +
             "; neither the database line.db nor its spool takes it (" + refused + ")"},
        {"", false,
         "its record was not kept: neither the database line.db nor its spool takes it (" +
             refused + ")"},
    };
    file_lock lock(dir + "/line.db");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.words);
        keeper_init(&k, c.log, db, "line.db");
        if (!c.spool)
            k.spool = no_spool;
        const keeper_kept kept = keeper_keep(&k, record_make(facts("run-" + c.words)));
        EXPECT_FALSE(kept.kept);
        EXPECT_EQ(kept.spooled, c.spool);
        std::string words = c.words;
        if (const size_t at = words.find("%s"); at != std::string::npos)
            words.replace(at, 2, k.spool);
        EXPECT_EQ(kept.why, words);
    }
}

// A file another program holds locked delays no record: the keeper gives up
// on it at once, the spool keeps the records, and they are written in order
// once the lock is gone. A line of the audit trail waits with them.
TEST_F(Keeper, ALockedFileDelaysNoRecord)
{
    keeper_init(&k, dir + "/log.jsonl", db, "line.db");
    file_lock lock(dir + "/line.db");
    for (const char *run : {"run-1", "run-2"}) {
        const auto start = std::chrono::steady_clock::now();
        const keeper_kept kept = keeper_keep(&k, record_make(facts(run)));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << run;
        EXPECT_TRUE(kept.kept && kept.spooled) << run;
        EXPECT_EQ(kept.why, LOCKED);
    }
    EXPECT_EQ(lines_of(k.spool).size(), 2u);
    EXPECT_TRUE(keeper_db_waits(&k));
    keeper_audit(&k, audit_make("bench-3", "bay cleared", "bay-1", "::1", ""));
    EXPECT_EQ(audit_make("bench-3", "bay held", "bay-1", "", "cut \xff").row.detail,
              "cut \xef\xbf\xbd")
        << "a server takes no byte that is no UTF-8";
    EXPECT_EQ(k.audits.size(), 1u) << "in the log, waiting for the database";
    EXPECT_EQ(lines_of(k.log).size(), 3u);

    lock.release();
    EXPECT_TRUE(keeper_flush(&k, true));
    EXPECT_FALSE(std::filesystem::exists(k.spool)) << "every spooled record is in the database";
    sqlite3 *check = nullptr;
    ASSERT_EQ(sqlite3_open((dir + "/line.db").c_str(), &check), SQLITE_OK);
    std::string runs;
    sqlite3_exec(
        check,
        "SELECT run FROM (SELECT run FROM records ORDER BY id) UNION ALL SELECT event FROM audit",
        [](void *out, int, char **values, char **) {
            *static_cast<std::string *>(out) += std::string(values[0]) + " ";
            return 0;
        },
        &runs, nullptr);
    sqlite3_close(check);
    EXPECT_EQ(runs, "run-1 run-2 bay cleared ");
    EXPECT_TRUE(k.audits.empty());
}
