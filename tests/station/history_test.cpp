// A number's history end to end on an SQLite ledger: a run that never ended
// has its number spoiled by the next run on its machine, whatever station
// name either gives; a record written back later tells its device's own end;
// two PID namespaces on one kernel are two machines.
#include "tests/station/line_support.h"

#include <cmath>
#include <ctime>

namespace {

struct history : ::testing::Test {
    device_sims sims;
    const std::string &dir = sims.dir;
    const std::string db = dir + "/line.db", log = dir + "/log.jsonl";

    // The spools stay in the test's folder.
    void SetUp() override { setenv("XDG_STATE_HOME", dir.c_str(), 1); }

    // 115200 baud: a run lasts seconds, as on a real line.
    bool device(const std::string &baud = "0")
    {
        return sims.start({"--baud", baud, "--erase-ms", "20", "--expect", ZMK_IMAGE_FILE,
                           "--expect-skip", "0x100:8"});
    }
    void pool()
    {
        const run_result r = run_program(
            {ZMK_CLI, "--db", db, "--new-pool", "--serial-at", "0x100", "--serial-start", "1"},
            dir);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // A run on `port` as the station `name`.
    std::vector<std::string> cli(const std::string &name, const std::string &port) const
    {
        return {ZMK_CLI,   "--db",           db,   "--log", log, "--serial-pool",
                "default", "--station-name", name, port};
    }
    std::string sql(const std::string &query) const
    {
        return run_program({"sqlite3", "-separator", " ", db, query}, dir + "/sim0").out;
    }
    // The run writing to `out` is at its device's flash.
    static bool programming(const std::string &out)
    {
        return wait_for(10000, [&] { return has(sim_slurp(out), "Programming  200"); });
    }
    // A pool, two devices, and a run under "bench-a" busy with the first.
    bool first_run_programming(station *a)
    {
        pool();
        if (!device("115200") || !device())
            return false;
        a->pid = sim_spawn(cli("bench-a", sims.ptys()[0]), dir + "/a.out", dir + "/a.err");
        return programming(dir + "/a.out");
    }
};

// When a record's device ended: its start plus its seconds, to the nearest second.
std::string device_end(const json &record)
{
    std::tm start{};
    if (!strptime(record.value("time", "").c_str(), "%Y-%m-%dT%H:%M:%SZ", &start))
        return "no time";
    const std::time_t end =
        timegm(&start) + std::time_t(std::floor(record.value("seconds", 0.0) + 0.5));
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&end));
    return text;
}

} // namespace

// A run killed at its device leaves its number reserved; the next run on
// this machine spoils it, though under another station name.
TEST_F(history, AKilledRunsNumberIsSpoiledUnderAnyStationName)
{
    station a;
    ASSERT_TRUE(first_run_programming(&a)) << sim_slurp(dir + "/a.err");
    kill(a.pid, SIGKILL); // no record, the reservation left open
    EXPECT_EQ(wait_exit(a.pid, 3000), 128 + SIGKILL);
    a.pid = -1;
    EXPECT_EQ(sql("SELECT value, state, host, length(machine) > 0 FROM serials"),
              "1 reserved bench-a 1\n");

    const run_result r = run_program(cli("bench-b", sims.ptys()[1]), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.err, "1 serial number reserved by runs that never ended is now spoiled"))
        << r.err;
    EXPECT_EQ(sql("SELECT value, state FROM serials ORDER BY value"), "1 spoiled\n2 used\n");
    EXPECT_EQ(sql("SELECT event FROM serial_events WHERE value = 1 ORDER BY id"),
              "reserved\nspoiled\n");
}

// A record the database could not take waits in the spool; the next run,
// under another name and seconds later, writes it before it spoils anything:
// the number reads reserved, then used at its device's own end.
TEST_F(history, ASpooledRecordTellsItsDevicesOwnEnd)
{
    station a;
    ASSERT_TRUE(first_run_programming(&a)) << sim_slurp(dir + "/a.err");
    {
        held_lock lock(db);
        ASSERT_TRUE(lock.taken(db, dir + "/sim0"));
        EXPECT_EQ(wait_exit(a.pid, 30000), 0) << sim_slurp(dir + "/a.err");
        a.pid = -1;
    }
    EXPECT_TRUE(has(sim_slurp(dir + "/a.err"), "the next run on this station writes them"))
        << sim_slurp(dir + "/a.err");
    EXPECT_EQ(sql("SELECT state FROM serials"), "reserved\n");
    const std::string end = device_end(read_records(log).at(0));
    std::this_thread::sleep_for(std::chrono::seconds(2)); // written back well after its end

    const run_result r = run_program(cli("bench-b", sims.ptys()[1]), dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(
        has(r.err, "1 record left on this station by an earlier run written to the database"))
        << r.err;
    EXPECT_FALSE(has(r.err, "reserved by runs that never ended")) << r.err;
    EXPECT_EQ(sql("SELECT time FROM serial_events WHERE value = 1 AND event = 'used'"), end + "\n");
    EXPECT_GT(sql("SELECT time FROM serial_events WHERE value = 2 AND event = 'reserved'"),
              end + "\n")
        << "the next run came later";
    EXPECT_EQ(sql("SELECT event FROM serial_events WHERE value = 1 ORDER BY id"),
              "reserved\nused\n");
    EXPECT_EQ(sql("SELECT state, ended_at FROM serials WHERE value = 1"), "used " + end + "\n");
}

// Two stations of one name in two PID namespaces of one kernel (two
// containers): neither takes the other's live process for gone, though its
// pid is not there.
TEST_F(history, TwoPidNamespacesAreTwoMachines)
{
    const std::vector<std::string> ns{"unshare", "--pid", "--fork", "--mount-proc", "--kill-child"};
    std::vector<std::string> probe = ns;
    probe.push_back("true");
    if (geteuid() != 0 || run_program(probe, dir).status != 0)
        GTEST_SKIP() << "needs root and util-linux's unshare";
    pool();
    ASSERT_TRUE(device("115200"));
    ASSERT_TRUE(device());
    // A's zmk-cli comes after 40 other processes in its namespace; B's is its namespace's first.
    std::vector<std::string> a = ns, b = ns, run_a = cli("bench", sims.ptys()[0]),
                             run_b = cli("bench", sims.ptys()[1]);
    a.insert(a.end(),
             {"sh", "-c",
              "i=0; while [ $i -lt 40 ]; do /bin/true; i=$((i+1)); done; \"$@\"; exit $?", "sh"});
    a.insert(a.end(), run_a.begin(), run_a.end());
    b.insert(b.end(), run_b.begin(), run_b.end());
    station first;
    first.pid = sim_spawn(a, dir + "/a.out", dir + "/a.err");
    ASSERT_TRUE(programming(dir + "/a.out")) << sim_slurp(dir + "/a.err");
    EXPECT_GT(std::atoi(sql("SELECT pid FROM serials WHERE value = 1").c_str()), 40);

    const run_result r = run_program(b, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(has(r.err, "reserved by runs that never ended")) << r.err;
    EXPECT_EQ(wait_exit(first.pid, 30000), 0) << sim_slurp(dir + "/a.err");
    first.pid = -1;
    EXPECT_EQ(sql("SELECT value, state FROM serials ORDER BY value"), "1 used\n2 used\n");
    EXPECT_EQ(sql("SELECT event FROM serial_events WHERE value = 1 ORDER BY id"),
              "reserved\nused\n");
    EXPECT_EQ(sql("SELECT COUNT(DISTINCT machine) FROM serials"), "2\n");
}
