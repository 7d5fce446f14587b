// The station's page over a real session: four devices (one refusing) and
// one plugged in later, seen in Chromium; the API against the records; Stop
// and Resume from the station's own machine.
#include "tests/line/line_support.h"

namespace {

// The body of a request to the station's page, by Python's standard library.
std::string http(const std::string &dir, const std::string &method, const std::string &url)
{
    const std::string code = "import sys, urllib.request\n"
                             "r = urllib.request.urlopen(urllib.request.Request(sys.argv[2], "
                             "method=sys.argv[1]), timeout=10)\n"
                             "sys.stdout.write(r.read().decode())\n";
    return run_program({"/usr/bin/python3", "-c", code, method, url}, dir).out;
}

bool plug(device_sims *sims, const std::string &link, std::vector<std::string> faults = {})
{
    faults.insert(faults.end(), {"--baud", "0", "--erase-ms", "50", "--quiet-ms", "200",
                                 "--max-seconds", "60", "--link", link});
    return sims->start(faults);
}

} // namespace

TEST(StationPage, TilesReachTheirEndInABrowserAndTheApiMatchesTheRecords)
{
    device_sims sims;
    const std::string &dir = sims.dir, log = dir + "/log.jsonl", err = dir + "/station.err";
    std::vector<std::string> args{ZMK_CLI, "--station", "--match",     dir + "/dut*", "--log",
                                  log,     "--ui",      "127.0.0.1:0", "--timeout",   "3"};
    for (int i = 0; i < 4; ++i)
        args.insert(args.end(), {"--slot", "bay-" + std::to_string(i + 1) + "=" + dir + "/dut" +
                                               std::to_string(i)});
    const pid_t station = sim_spawn(args, dir + "/station.out", err);
    std::string url;
    ASSERT_TRUE(wait_for(5000, [&] {
        const std::string text = sim_slurp(err);
        const size_t at = text.find("http://");
        url = at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
        return has(text, "waiting for devices") && !url.empty();
    })) << sim_slurp(err);

    const std::string shots = std::string(ZMK_ARTEFACTS) + "/station-page";
    const pid_t browser = sim_spawn(
        {"/usr/bin/python3", ZMK_PAGE_TEST, "--url", url, "--out", shots, "--wait", "60", "--step",
         "bay-1=PASS; bay-2=PASS; bay-3=PASS; bay-4=FAIL; bay-4~refuses; #programmed=4; #ok=3; "
         "#failed=1",
         "--step", "bay-1=PASS; bay-4=FAIL; " + dir + "/dut4=PASS; #programmed=5"},
        dir + "/browser.out", dir + "/browser.err");
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(plug(&sims, dir + "/dut" + std::to_string(i)));
    ASSERT_TRUE(plug(&sims, dir + "/dut3", {"--refuse-after", "8"}));
    for (int i = 0; i < 4; ++i) // the refusing one is given up 3 s after it refuses
        sims.report(size_t(i), i < 3 ? 20000 : 8000);
    ASSERT_TRUE(plug(&sims, dir + "/dut4"));
    sims.report(4, 20000);
    const int seen = wait_exit(browser, 120000);
    EXPECT_EQ(seen, 0) << sim_slurp(dir + "/browser.out") << sim_slurp(dir + "/browser.err");
    std::printf("%s", sim_slurp(dir + "/browser.out").c_str());

    // What the page's API gives is what the log holds, record for record.
    EXPECT_EQ(http(dir, "GET", url + "api/records?after=0"), sim_slurp(log));
    const json status = json::parse(http(dir, "GET", url + "api/status"), nullptr, false);
    EXPECT_EQ(status["counts"]["programmed"], 5) << status.dump();
    EXPECT_EQ(status["counts"]["failed"], 1) << status.dump();

    // Stop from the station's own machine: a device plugged in waits until
    // Resume.
    http(dir, "POST", url + "api/stop");
    ASSERT_TRUE(wait_for(
        3000, [&] { return has(sim_slurp(dir + "/station.out"), "stopped from the page"); }));
    ASSERT_TRUE(plug(&sims, dir + "/dut5"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(has(sim_slurp(dir + "/station.out"), dir + "/dut5"));
    http(dir, "POST", url + "api/resume");
    EXPECT_TRUE(sims.report(5, 20000).value("ok", false));
    kill(station, SIGINT);
    EXPECT_EQ(wait_exit(station, 5000), 3) << "one device failed";
    EXPECT_EQ(read_records(log).size(), 6u);
}
