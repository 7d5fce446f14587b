// The station: devices plugged in and out (simulators on links that come and
// go), each programmed once per appearance, until Ctrl-C.
#include "tests/station/line_support.h"

#include <algorithm>
#include <functional>
#include <set>

namespace {

bool exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

constexpr int quiet_ms = 200;

// A device plugged in at `link`: a quick simulator that ends (is unplugged)
// soon after its RESET.
bool plug(device_sims *sims, const std::string &link)
{
    return sims->start({"--baud", "0", "--erase-ms", "100", "--expect", ZMK_IMAGE_FILE,
                        "--quiet-ms", std::to_string(quiet_ms), "--max-seconds", "30", "--link",
                        link});
}

// From the link's appearance to the host's first byte, at most: the session
// ends `quiet_ms` (plus a poll) after the RESET reply that ends `line_ms`.
double noticed_ms(const json &report)
{
    return report.value("elapsed_ms", 0.0) - report.value("line_ms", 0.0) - quiet_ms;
}

} // namespace

// One device, then two together, then the first again after it was
// unplugged: four runs, each device erased once, each noticed at once; then
// Ctrl-C ends the session with the count.
TEST(Station, ProgramsEachDeviceOncePerAppearanceUntilCtrlC)
{
    device_sims sims;
    const std::string &dir = sims.dir, log = dir + "/log.jsonl", out = dir + "/station.out";
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = sim_spawn({ZMK_CLI, "--station", "--match", dir + "/dut*", "--log", log}, out,
                                dir + "/station.err");
    ASSERT_TRUE(wait_for(5000, [&] { return has(sim_slurp(dir + "/station.err"), "waiting"); }));
    const std::vector<std::vector<std::string>> rounds = {{"dut1"}, {"dut2", "dut3"}, {"dut1"}};
    for (const auto &round : rounds) {
        const size_t first = sims.sims.size();
        for (const std::string &name : round)
            ASSERT_TRUE(plug(&sims, dir + "/" + name));
        for (size_t i = first; i < sims.sims.size(); ++i) {
            const json rep = sims.report(i, 15000);
            EXPECT_EQ(rep.value("end", ""), "reset") << rep.dump();
            EXPECT_TRUE(rep.value("ok", false)) << rep.dump();
            EXPECT_EQ(rep["commands"]["ERASE"], 1) << rep.dump();
            std::printf("device %zu noticed within %.0f ms\n", i + 1, noticed_ms(rep));
            EXPECT_LE(noticed_ms(rep), 500);
        }
        for (const std::string &name : round)
            EXPECT_FALSE(exists(dir + "/" + name)) << name << " was unplugged";
    }
    ASSERT_TRUE(wait_for(3000, [&] { return has(sim_slurp(out), "4 programmed"); }));
    kill(pid, SIGINT);
    EXPECT_EQ(wait_exit(pid, 3000), 0);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::string text = sim_slurp(out);
    std::printf("session of %.1f s:\n%s", took, text.c_str());
    EXPECT_TRUE(
        text.size() > 30 &&
        text.ends_with("\n4 programmed: 4 ok, 0 failed, yield 100.0 %\nzmk-cli: stopping: no "
                       "device is running\n"))
        << text;
    const std::vector<json> records = read_records(log);
    ASSERT_EQ(records.size(), 4u);
    const char *order[] = {"dut1", "dut2", "dut3", "dut1"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(records[i].value("result", ""), "ok");
        if (i != 1 && i != 2) { // the two together end in either order
            EXPECT_EQ(records[i].value("port", ""), dir + "/" + order[i]);
        }
    }
    EXPECT_EQ((std::set<std::string>{records[1].value("port", ""), records[2].value("port", "")}),
              (std::set<std::string>{dir + "/dut2", dir + "/dut3"}));
    // Three rounds of about 2.5 s each, with room for a busy machine.
    EXPECT_LT(took, 20.0);
}

// A port behind a path of 150 characters, as adapters' stable names run:
// --list --match shows it whole, and the station programs it and records it.
TEST(Station, ListsAndProgramsAPortBehindALongPath)
{
    device_sims sims;
    const std::string &dir = sims.dir, log = dir + "/log.jsonl", out = dir + "/station.out";
    std::string deep = dir;
    while (deep.size() < 145) {
        const size_t part = std::min<size_t>(40, 144 - deep.size());
        deep.append(1, '/').append(part, 'p');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0) << deep;
    }
    const std::string link = deep + "/dut1", pattern = deep + "/dut*";
    ASSERT_EQ(link.size(), 150u);
    ASSERT_TRUE(plug(&sims, link));
    ASSERT_TRUE(wait_for(3000, [&] { return exists(link); }));

    const run_result list = run_program({ZMK_CLI, "--list", "--match", pattern}, dir);
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, link + "\n") << list.err;

    const pid_t pid = sim_spawn({ZMK_CLI, "--station", "--match", pattern, "--log", log}, out,
                                dir + "/station.err");
    const json rep = sims.report(0, 15000);
    EXPECT_TRUE(rep.value("ok", false)) << rep.dump();
    ASSERT_TRUE(wait_for(3000, [&] { return has(sim_slurp(out), "1 programmed"); }));
    kill(pid, SIGINT);
    EXPECT_EQ(wait_exit(pid, 3000), 0);
    const std::vector<json> records = read_records(log);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].value("port", ""), link);
    EXPECT_EQ(records[0].value("result", ""), "ok");
}
