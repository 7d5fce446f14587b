// The station when things go wrong: ports another program holds, devices
// that fail, a log that takes no records, serial numbers that cannot be had,
// and the operator's Ctrl-C.
#include "tests/station/line_support.h"

#include <algorithm>
#include <functional>

namespace {

std::vector<std::string> device(const std::string &link, std::vector<std::string> more = {})
{
    std::vector<std::string> a{"--baud",        "0",  "--erase-ms", "100", "--quiet-ms", "200",
                               "--max-seconds", "60", "--link",     link};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

} // namespace

// A port another program holds is asked for again every second: served once
// it is let go within ten seconds, else reported once and not counted. A
// device that fails says what to do next; the first Ctrl-C is answered at once.
TEST(StationFaults, BusyPortsFailuresAndTheOperatorsCtrlC)
{
    device_sims sims;
    const std::string &dir = sims.dir;
    ASSERT_TRUE(sims.start(device(dir + "/dut1", {"--expect", ZMK_IMAGE_FILE})));
    ASSERT_TRUE(sims.start(device(dir + "/dut2")));
    const pid_t let_go = sim_spawn({"cat", sims.sims[0].pty}, "/dev/null", "/dev/null");
    const pid_t holds = sim_spawn({"cat", sims.sims[1].pty}, "/dev/null", "/dev/null");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    station st;
    ASSERT_TRUE(st.start(dir, {ZMK_CLI, "--station", "--timeout", "2", "--match", dir + "/dut*",
                               "--log", dir + "/log.jsonl"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    kill(let_go, SIGTERM);
    EXPECT_TRUE(sims.report(0, 10000).value("ok", false));
    EXPECT_TRUE(st.says("BUSY " + dir + "/dut2  " + dir +
                            "/dut2 is in use by another program: pid " + std::to_string(holds) +
                            " (cat)",
                        12000))
        << sim_slurp(st.out);
    kill(holds, SIGTERM);
    EXPECT_TRUE(st.says("1 programmed: 1 ok, 0 failed, yield 100.0 %; 1 not programmed: in use "
                        "by another program\n"))
        << sim_slurp(st.out);

    ASSERT_TRUE(sims.start(device(dir + "/dut3", {"--silent-after", "40"})));
    EXPECT_TRUE(st.says("; unplug the device and plug it in again to program it again\n", 8000))
        << sim_slurp(st.out);
    sims.report(2, 0);
    ASSERT_TRUE(sims.start({"--baud", "115200", "--link", dir + "/dut4"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000)); // its run has begun
    kill(st.pid, SIGINT);
    EXPECT_TRUE(st.says("zmk-cli: stopping: 1 running device finishes; no new device is started, "
                        "devices plugged in now are not programmed; Ctrl-C again ends the "
                        "running ones\n",
                        500))
        << sim_slurp(st.out);
    EXPECT_EQ(wait_exit(st.pid, 15000), 3);
    st.pid = -1;
    EXPECT_EQ(sims.report(1, 0)["exchanges"], 0) << "served again only when plugged in again";
    const std::string said = sim_slurp(st.out);
    EXPECT_TRUE(said.ends_with("3 programmed: 2 ok, 1 failed, yield 66.7 %; 1 not programmed: in "
                               "use by another program\n"))
        << said;
    EXPECT_EQ(read_records(dir + "/log.jsonl").size(), 4u);
}

// A log that takes no records stops the station from starting devices, and
// says so: a device plugged in meanwhile is told it was not started. Once
// the log takes records again, every waiting record is written and the next
// device is programmed.
TEST(StationFaults, AFullLogStopsNewDevicesUntilItTakesRecordsAgain)
{
    device_sims sims;
    const std::string &dir = sims.dir, log = dir + "/log.jsonl";
    // The limit holds for every file the station writes: its own output must
    // fit below it, the next record must not.
    const std::string before = std::string(100000, 'x') + "\n";
    std::ofstream(log) << before;
    station st;
    ASSERT_TRUE(st.start(dir, {"prlimit", "--fsize=100150:unlimited", ZMK_CLI, "--station",
                               "--match", dir + "/dut*", "--log", log}));
    ASSERT_TRUE(sims.start(device(dir + "/dut1")));
    EXPECT_TRUE(st.says("FAIL " + dir +
                            "/dut1  programmed, but its record was not kept: cannot "
                            "write " +
                            log,
                        8000))
        << sim_slurp(st.out);
    EXPECT_TRUE(st.says("zmk-cli: records cannot be written to " + log +
                        ": no new device is started until they can be"));
    EXPECT_EQ(sim_slurp(log), before) << "no half record";
    ASSERT_TRUE(sims.start(device(dir + "/dut2")));
    EXPECT_TRUE(st.says("FAIL " + dir + "/dut2  not started: the log takes no records\n"))
        << sim_slurp(st.out);
    EXPECT_TRUE(st.says("1 programmed: 0 ok, 1 failed, yield 0.0 %; 1 not started\n"))
        << sim_slurp(st.out);

    ASSERT_EQ(
        run_program({"prlimit", "--pid", std::to_string(st.pid), "--fsize=unlimited"}, dir).status,
        0);
    EXPECT_TRUE(st.says("zmk-cli: records are written to " + log + " again"));
    ASSERT_TRUE(sims.start(device(dir + "/dut3", {"--expect", ZMK_IMAGE_FILE})));
    EXPECT_TRUE(sims.report(2, 8000).value("ok", false));
    EXPECT_TRUE(st.says("PASS " + dir + "/dut3", 3000)) << sim_slurp(st.out);
    kill(st.pid, SIGINT);
    EXPECT_EQ(wait_exit(st.pid, 5000), 4) << "a record was not kept when its device ended";
    st.pid = -1;
    EXPECT_EQ(sims.report(1, 0)["exchanges"], 0);
    const std::string text = sim_slurp(log);
    EXPECT_TRUE(text.starts_with(before));
    // The three records, and the Ctrl-C in the audit trail.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5) << text;
    EXPECT_TRUE(text.ends_with("\"detail\":\"by a signal\"}\n")) << text;
}

namespace {

// Serial numbers from an SQLite file beside the log; the spools stay in the
// test's folder.
struct NoSerialNumber : ::testing::Test {
    device_sims sims;
    const std::string &dir = sims.dir;
    const std::string db = dir + "/line.db", log = dir + "/log.jsonl";

    void SetUp() override { setenv("XDG_STATE_HOME", dir.c_str(), 1); }

    std::vector<std::string> cli(std::vector<std::string> more) const
    {
        std::vector<std::string> args{ZMK_CLI, "--db", db, "--log", log, "--serial-at", "0x100"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    bool plug_in(const std::string &name)
    {
        return sims.start({"--baud", "0", "--erase-ms", "20", "--link", dir + "/" + name,
                           "--expect", ZMK_IMAGE_FILE, "--expect-skip", "0x100:8"});
    }
    long exchanges(size_t i) { return json_number(sim_finish(&sims.sims[i], 0), "exchanges"); }
    // A new pool whose file then refuses each reservation, as a full disk would.
    bool pool_that_refuses()
    {
        return run_program(cli({"--new-pool", "--serial-start", "1000"}), dir).status == 0 &&
               run_program({"sqlite3", db,
                            "CREATE TRIGGER full BEFORE INSERT ON serial_events WHEN NEW.event "
                            "= 'reserved' BEGIN SELECT RAISE(ABORT, 'database or disk is full'); "
                            "END"},
                           dir)
                       .status == 0;
    }
};

} // namespace

// A database that refuses every reservation for 30 s ends the batch: its
// ports are recorded as not started, none touched, and the status is 1.
TEST_F(NoSerialNumber, ABatchThatCannotReserveGivesUp)
{
    ASSERT_TRUE(pool_that_refuses());
    ASSERT_TRUE(plug_in("dut1"));
    ASSERT_TRUE(plug_in("dut2"));
    const std::vector<std::string> p = sims.ptys();
    const auto began = std::chrono::steady_clock::now();
    const pid_t pid = sim_spawn(cli({"--serial-start", "1000", p[0], p[1]}), dir + "/batch.out",
                                dir + "/batch.err");
    EXPECT_EQ(wait_exit(pid, 40000), 1) << sim_slurp(dir + "/batch.out");
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took, std::chrono::seconds(30)) << "gave up before 30 s of refusals";

    const std::string said = sim_slurp(dir + "/batch.out"), why = "(database or disk is full)";
    EXPECT_TRUE(has(said, "zmk-cli: no serial number can be reserved from " + db + " " + why +
                              ": no new device is started until one can be (tried every "
                              "second)\n"))
        << said;
    EXPECT_TRUE(has(said, "zmk-cli: no serial number could be reserved from " + db +
                              " for 30 s: giving up, 2 ports are not started\n"))
        << said;
    const std::string left_out = "  not started: no serial number can be reserved from " + db;
    for (const std::string &port : p)
        EXPECT_TRUE(has(said, "FAIL " + port + left_out + " " + why + "\n")) << said;
    EXPECT_TRUE(said.ends_with("0 programmed: 0 ok, 0 failed, yield --; 2 not started\n")) << said;
    const std::vector<json> records = read_records(log);
    EXPECT_EQ(records.size(), 2u);
    for (const std::string &port : p)
        EXPECT_TRUE(has(record_of(records, port).value("message", ""), "not started: ")) << port;
    EXPECT_EQ(exchanges(0), 0);
    EXPECT_EQ(exchanges(1), 0);
}

// A station whose numbers are used up serves each device plugged in later by
// a record and a FAIL line, once per appearance, and ends with status 3.
TEST_F(NoSerialNumber, AStationTellsEveryDeviceItCannotNumber)
{
    std::ofstream(dir + "/serials.txt") << "0x10\n";
    station st;
    ASSERT_TRUE(st.start(dir, cli({"--new-pool", "--station", "--match", dir + "/dut*",
                                   "--serial-list", dir + "/serials.txt"})));
    ASSERT_TRUE(plug_in("dut1"));
    EXPECT_TRUE(st.says("PASS " + dir + "/dut1", 8000)) << sim_slurp(st.out);
    ASSERT_TRUE(plug_in("dut2"));
    ASSERT_TRUE(plug_in("dut3"));
    const std::string none = "  not started: no serial number is left to write into it\n";
    EXPECT_TRUE(st.says("FAIL " + dir + "/dut2" + none)) << sim_slurp(st.out);
    EXPECT_TRUE(st.says("FAIL " + dir + "/dut3" + none)) << sim_slurp(st.out);
    EXPECT_TRUE(st.says("1 programmed: 1 ok, 0 failed, yield 100.0 %; 2 not started\n"))
        << sim_slurp(st.out);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000)); // several polls
    EXPECT_EQ(read_records(log).size(), 3u) << "each device once per appearance";
    EXPECT_EQ(exchanges(1), 0);
    // Seen gone, then plugged in again: served again.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(plug_in("dut2"));
    EXPECT_TRUE(st.says("1 programmed: 1 ok, 0 failed, yield 100.0 %; 3 not started\n"))
        << sim_slurp(st.out);

    kill(st.pid, SIGINT);
    EXPECT_EQ(wait_exit(st.pid, 5000), 3) << "devices were left out";
    st.pid = -1;
    const std::string said = sim_slurp(st.out);
    EXPECT_TRUE(has(said, "zmk-cli: the serial numbers of pool 'default' are used up")) << said;
    const std::vector<json> records = read_records(log);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].value("result", ""), "ok");
    for (size_t i = 1; i < records.size(); ++i)
        EXPECT_EQ(records[i].value("message", ""), "not started: no serial number is left to "
                                                   "write into it")
            << records[i];
    EXPECT_EQ(exchanges(2), 0);
    EXPECT_EQ(exchanges(3), 0);
}

// A station whose database refuses every reservation tells each device
// plugged in why it was not started, and ends with status 3.
TEST_F(NoSerialNumber, AStationWhoseDatabaseRefusesTellsEveryDevice)
{
    ASSERT_TRUE(pool_that_refuses());
    station st;
    ASSERT_TRUE(
        st.start(dir, cli({"--station", "--match", dir + "/dut*", "--serial-start", "1000"})));
    ASSERT_TRUE(plug_in("dut1"));
    EXPECT_TRUE(st.says("zmk-cli: no serial number can be reserved from " + db +
                        " (database or disk is full): devices plugged in are not started until "
                        "one can be\n"))
        << sim_slurp(st.out);
    EXPECT_TRUE(st.says("FAIL " + dir +
                        "/dut1  not started: no serial number can be reserved from " + db +
                        " (database or disk is full)\n"))
        << sim_slurp(st.out);
    ASSERT_TRUE(plug_in("dut2"));
    EXPECT_TRUE(st.says("0 programmed: 0 ok, 0 failed, yield --; 2 not started\n"))
        << sim_slurp(st.out);
    kill(st.pid, SIGINT);
    EXPECT_EQ(wait_exit(st.pid, 5000), 3);
    st.pid = -1;
    EXPECT_EQ(read_records(log).size(), 2u);
    EXPECT_EQ(exchanges(0), 0);
    EXPECT_EQ(exchanges(1), 0);
}
