// What an operator reads of the records, end to end on an SQLite ledger: a
// single run's last line names its serial number and what became of it, a
// record some store does not hold says which one does, and a database
// another program holds locked delays no device.
#include "tests/station/line_support.h"

#include <cstdio>

namespace {

struct records : ::testing::Test {
    device_sims sims;
    const std::string &dir = sims.dir;
    const std::string db = dir + "/line.db", log = dir + "/log.jsonl";

    // The spools stay in the test's folder.
    void SetUp() override { setenv("XDG_STATE_HOME", dir.c_str(), 1); }

    // A device that checks the image, the number's place aside; `more`
    // adds faults or a name for the station.
    bool device(std::vector<std::string> more = {}, const std::string &baud = "0")
    {
        more.insert(more.end(), {"--baud", baud, "--erase-ms", "20", "--expect", ZMK_IMAGE_FILE,
                                 "--expect-skip", "0x100:8"});
        return sims.start(more);
    }
    // The pool every run here takes its numbers from.
    void pool(const std::string &start)
    {
        const run_result r = run_program(
            {ZMK_CLI, "--db", db, "--new-pool", "--serial-at", "0x100", "--serial-start", start},
            dir);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::vector<std::string> cli(std::vector<std::string> more) const
    {
        std::vector<std::string> args{ZMK_CLI, "--db",          db,       "--log",
                                      log,     "--serial-pool", "default"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    std::string sql(const std::string &query) const
    {
        return run_program({"sqlite3", "-separator", " ", db, query}, dir).out;
    }
};

std::string last_line(const std::string &text)
{
    const size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos)
        return "";
    const size_t from = text.rfind('\n', end);
    const size_t start = from == std::string::npos ? 0 : from + 1;
    return text.substr(start, end + 1 - start);
}

} // namespace

// A pass ends with its number used on standard output (nothing with -q); a
// failure's last line on standard error says whether the number was spoiled
// or goes to the next device, -q or not.
TEST_F(records, ASingleRunEndsWithItsNumberAndWhatBecameOfIt)
{
    pool("100042");
    ASSERT_TRUE(device());
    ASSERT_TRUE(device());
    ASSERT_TRUE(device({"--hangup-at", "12"})); // gone with the number written
    ASSERT_TRUE(device({"--hangup-at", "2"}));  // gone while erasing
    const std::vector<std::string> p = sims.ptys();

    run_result r = run_program(cli({p[0]}), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(last_line(r.out), "serial 100042 used") << r.out;
    r = run_program(cli({"-q", p[1]}), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    r = run_program(cli({p[2]}), dir);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(last_line(r.err), "zmk-cli: serial 100044 spoiled: never handed out again") << r.err;
    r = run_program(cli({"-q", p[3]}), dir);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(last_line(r.err), "zmk-cli: serial 100045 returned: the next device gets it")
        << r.err;
    EXPECT_EQ(sql("SELECT value, state FROM serials ORDER BY value"),
              "100042 used\n100043 used\n100044 spoiled\n100045 free\n");
}

// Status 4 says where the record is: in the database when the log refused
// it; in the log when the database was locked and its spool could not be
// written (the record then shown as written, the number's fate last).
TEST_F(records, AStatus4SaysWhichStoreHoldsTheRecord)
{
    pool("500");
    ASSERT_TRUE(device());
    ASSERT_TRUE(device({}, "230400")); // runs for seconds: time to lock the file
    const std::vector<std::string> p = sims.ptys();
    run_result r = run_program(
        {ZMK_CLI, "--db", db, "--log", "/dev/full", "--serial-pool", "default", p[0]}, dir);
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_TRUE(has(r.err, p[0] + " was programmed, but its record is in the database " + db +
                               ", not in /dev/full (No space left on device)\n"))
        << r.err;
    EXPECT_EQ(last_line(r.err), "zmk-cli: serial 500 used");
    EXPECT_EQ(sql("SELECT value, state FROM serials"), "500 used\n");

    const std::string no_state = dir + "/not-a-folder";
    std::ofstream(no_state) << "x";
    setenv("XDG_STATE_HOME", no_state.c_str(), 1);
    const pid_t pid = sim_spawn(cli({p[1]}), dir + "/run.out", dir + "/run.err");
    setenv("XDG_STATE_HOME", dir.c_str(), 1);
    ASSERT_TRUE(wait_for(10000, [&] { return has(sim_slurp(dir + "/run.out"), "Programming"); }));
    held_lock lock(db);
    ASSERT_TRUE(lock.taken(db, dir));
    EXPECT_EQ(wait_exit(pid, 30000), 4);
    const std::string err = sim_slurp(dir + "/run.err");
    EXPECT_TRUE(has(err, p[1] + " was programmed, but its record is in " + log +
                             ", neither in the database " + db +
                             " nor in its spool (another program has held the file locked for "
                             "over 0.1 s (database is locked); the spool " +
                             no_state + "/zmk/spool-"))
        << err;
    EXPECT_TRUE(has(err, "1 record could not be written to the database " + db +
                             " or its spool; here as written:\n{"))
        << err;
    EXPECT_EQ(last_line(err), "zmk-cli: serial 501 used");
    EXPECT_EQ(read_records(log).size(), 1u);
}

// Four devices end while another program holds the database locked: each
// PASS comes as if alone, each record's time is the device's own, the
// records wait in the spool and are written in order once the lock is gone.
TEST_F(records, ALockedDatabaseDelaysNoDevice)
{
    pool("100");
    ASSERT_TRUE(device({}, "230400"));
    const run_result first = run_program(cli({sims.ptys()[0]}), dir);
    ASSERT_EQ(first.status, 0) << first.err;
    const double alone = read_records(log).at(0).value("seconds", 0.0);
    for (int i = 1; i <= 4; ++i)
        ASSERT_TRUE(device({"--link", dir + "/dut" + std::to_string(i)}, "230400"));
    station st;
    ASSERT_TRUE(st.start(dir, cli({"--station", "--match", dir + "/dut*"})));
    ASSERT_TRUE(wait_for(10000, [&] {
        return sql("SELECT count(*) FROM serials WHERE state = 'reserved'") == "4\n";
    }));
    held_lock lock(db);
    ASSERT_TRUE(lock.taken(db, dir));
    const auto locked = std::chrono::steady_clock::now();
    EXPECT_TRUE(st.says("4 programmed: 4 ok", 30000)) << sim_slurp(st.out);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - locked).count();
    // A lock once made each PASS wait 10 s in turn; a loaded machine may add a little.
    EXPECT_LT(took, alone + 5) << "every PASS within a run's time of the lock";
    EXPECT_TRUE(st.says("takes no records now (another program has held the file locked for "
                        "over 0.1 s (database is locked))"))
        << sim_slurp(st.out);
    const std::vector<json> logged = read_records(log);
    ASSERT_EQ(logged.size(), 5u);
    for (size_t i = 1; i < logged.size(); ++i)
        EXPECT_NEAR(logged[i].value("seconds", 0.0), alone, 5) << logged[i].dump();

    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // tried again while locked
    lock.release();
    EXPECT_TRUE(st.says("takes records again: the spooled ones are written", 5000))
        << sim_slurp(st.out);
    kill(st.pid, SIGINT);
    EXPECT_EQ(wait_exit(st.pid, 10000), 0);
    st.pid = -1;
    EXPECT_EQ(sql("SELECT count(*) FROM records"), "5\n");
    EXPECT_EQ(sql("SELECT value, group_concat(event, ' ') FROM (SELECT value, event FROM "
                  "serial_events WHERE value > 100 ORDER BY id) GROUP BY value"),
              "101 reserved used\n102 reserved used\n103 reserved used\n104 reserved used\n");
    EXPECT_EQ(run_program({"sh", "-c", "ls " + dir + "/zmk | grep -c spool-"}, dir).out, "0\n")
        << "the spool is gone once the database has every record";
}

// A list's line that is no number says what a number is; a byte-order mark
// before the first is no part of it.
TEST_F(records, AListLineThatIsNoNumberIsSaidInWords)
{
    const std::string list = dir + "/serials.txt";
    std::ofstream(list) << "\xEF\xBB\xBF"
                           "100\n-5\n";
    const run_result r = run_program(
        {ZMK_CLI, "--db", db, "--new-pool", "--serial-at", "0x100", "--serial-list", list}, dir);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(has(r.err, list + " line 2: '-5' is not a serial number: numbers are 0 or more, "
                                  "decimal or 0x hex"))
        << r.err;
}
