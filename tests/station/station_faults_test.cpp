// The station when things go wrong: ports another program holds, devices
// that fail, a log that takes no records, and the operator's Ctrl-C.
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
// says so; once it takes them again, the waiting device is programmed.
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
    ASSERT_TRUE(sims.start(device(dir + "/dut2", {"--expect", ZMK_IMAGE_FILE})));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(has(sim_slurp(st.out), dir + "/dut2")) << sim_slurp(st.out);

    ASSERT_EQ(
        run_program({"prlimit", "--pid", std::to_string(st.pid), "--fsize=unlimited"}, dir).status,
        0);
    EXPECT_TRUE(st.says("zmk-cli: records are written to " + log + " again"));
    EXPECT_TRUE(sims.report(1, 8000).value("ok", false));
    EXPECT_TRUE(st.says("PASS " + dir + "/dut2", 3000));
    kill(st.pid, SIGINT);
    EXPECT_EQ(wait_exit(st.pid, 5000), 4) << "a record was not kept when its device ended";
    st.pid = -1;
    const std::string text = sim_slurp(log);
    EXPECT_TRUE(text.starts_with(before));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
}
