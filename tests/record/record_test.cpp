// The record and its keeper: one line of JSON with every field, and records
// kept in order in the log and the database, each store on its own.
#include "app/record/keeper.h"
#include "app/record/record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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
          "\"written_crc32\":\"0badf00d\"}",
          "\"result\":\"ok\",\"exit\":0,\"message\":null,\"seconds\":8.87,\"exchanges\":265,"
          "\"repeats\":0,\"serial\":null,\"run\":\"bench-3-1-2-3\",\"tool\":\"zmk-cli "})
        EXPECT_NE(line.find(part), std::string::npos) << part << "\n" << line;

    f.serial_pool = "default";
    f.serial_value = 100042;
    f.serial_bytes = "aa860100";
    f.serial_state = "used";
    line = record_make(f).json;
    EXPECT_NE(line.find("\"repeats\":0,\"serial\":{\"pool\":\"default\",\"value\":100042,"
                        "\"bytes\":\"aa860100\",\"state\":\"used\"},\"run\""),
              std::string::npos)
        << line;
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
    EXPECT_NE(kept.why.find("cannot write /dev/full"), std::string::npos) << kept.why;
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
