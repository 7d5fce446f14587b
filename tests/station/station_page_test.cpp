// The station's page over a real session: four devices (one refusing) and
// one plugged in later, seen in Chromium; the API against the records; Stop
// and Resume from the station's own machine.
#include "tests/station/line_support.h"

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

// The station with its page, four named bays and one for a held port; its
// pid, and the page's address in `url`.
pid_t start_station(const std::string &dir, const std::string &log, std::string *url)
{
    const std::string err = dir + "/station.err";
    std::vector<std::string> args{ZMK_CLI,     "--station", "--match", dir + "/dut*",
                                  "--log",     log,         "--ui",    "127.0.0.1:0",
                                  "--timeout", "15",        "--slot",  "held=" + dir + "/dut-held"};
    for (int i = 0; i < 4; ++i)
        args.insert(args.end(), {"--slot", "bay-" + std::to_string(i + 1) + "=" + dir + "/dut" +
                                               std::to_string(i)});
    const pid_t station = sim_spawn(args, dir + "/station.out", err);
    EXPECT_TRUE(wait_for(5000, [&] {
        const std::string text = sim_slurp(err);
        const size_t at = text.find("http://");
        *url = at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
        return has(text, "waiting for devices") && !url->empty();
    })) << sim_slurp(err);
    return station;
}

// A port another program holds: its tile says so while it is asked for.
void held_port_tile(device_sims *sims, const std::string &dir, const std::string &url)
{
    ASSERT_TRUE(plug(sims, dir + "/dut-held"));
    const pid_t holder = sim_spawn({"sh", "-c", "exec 3<>\"$0\"; exec sleep 30", dir + "/dut-held"},
                                   dir + "/holder.out", dir + "/holder.err");
    EXPECT_TRUE(wait_for(8000, [&] {
        const json st = json::parse(http(dir, "GET", url + "api/status"), nullptr, false);
        return st.is_object() && st["slots"].at(0).value("state", "") == "in-use";
    }));
    EXPECT_TRUE(wait_for(15000, [&] { return has(sim_slurp(dir + "/station.out"), "BUSY "); }));
    kill(holder, SIGKILL);
    wait_exit(holder, 1000);
}

} // namespace

// Four bays (one device going silent, one refusing), a port another program
// holds, and a device plugged in later: the page in Chromium shows each as
// it stands, Stop and Resume work from it; the API matches the records.
TEST(StationPage, TilesInABrowserAndTheApiAgainstTheRecords)
{
    device_sims sims;
    const std::string &dir = sims.dir, log = dir + "/log.jsonl";
    std::string url;
    const pid_t station = start_station(dir, log, &url);
    ASSERT_FALSE(url.empty());

    const std::string shots = std::string(ZMK_ARTEFACTS) + "/station-page";
    const pid_t browser = sim_spawn(
        {"setsid", "/usr/bin/python3", ZMK_PAGE_TEST, "--url", url, "--out", shots, "--wait", "40",
         "--press", "--step", "bay-1=PASS; bay-2=NO ANSWER; bay-3=PASS", "--step",
         "bay-1=PASS; bay-2=FAIL; bay-2~stopped answering; bay-4=FAIL; bay-4~refuses; "
         "#programmed=4; #ok=2; #failed=2"},
        dir + "/browser.out", dir + "/browser.err");
    ASSERT_TRUE(plug(&sims, dir + "/dut0"));
    ASSERT_TRUE(plug(&sims, dir + "/dut1", {"--silent-after", "8"}));
    ASSERT_TRUE(plug(&sims, dir + "/dut2"));
    ASSERT_TRUE(plug(&sims, dir + "/dut3", {"--refuse-after", "8"}));
    for (int i = 0; i < 4; ++i) // the silent and the refusing are given up 15 s on
        sims.report(size_t(i), 25000);
    const int seen = wait_exit(browser, 150000);
    EXPECT_EQ(seen, 0) << sim_slurp(dir + "/browser.out") << sim_slurp(dir + "/browser.err");
    std::printf("%s", sim_slurp(dir + "/browser.out").c_str());

    // A device plugged in later gets a tile of its own, after the named ones.
    ASSERT_TRUE(plug(&sims, dir + "/dut4"));
    EXPECT_TRUE(wait_for(8000, [&] {
        const json st = json::parse(http(dir, "GET", url + "api/status"), nullptr, false);
        return st.is_object() && st["slots"].size() == 6 &&
               st["slots"].at(5).value("name", "") == dir + "/dut4" &&
               st["slots"].at(5).value("state", "") == "pass";
    }));

    held_port_tile(&sims, dir, url);

    // What the page's API gives is what the log holds, record for record.
    EXPECT_EQ(http(dir, "GET", url + "api/records?after=0"), sim_slurp(log));
    const json status = json::parse(http(dir, "GET", url + "api/status"), nullptr, false);
    EXPECT_EQ(status["counts"]["programmed"], 5) << status.dump();
    EXPECT_EQ(status["counts"]["failed"], 2) << status.dump();
    EXPECT_EQ(status["counts"]["in_use"], 1) << status.dump();

    // Stopped from the station's own machine, a device plugged in waits
    // until Resume.
    http(dir, "POST", url + "api/stop");
    ASSERT_TRUE(wait_for(
        3000, [&] { return has(sim_slurp(dir + "/station.out"), "stopped from the page"); }));
    ASSERT_TRUE(plug(&sims, dir + "/dut5"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(has(sim_slurp(dir + "/station.out"), dir + "/dut5"));
    http(dir, "POST", url + "api/resume");
    EXPECT_TRUE(sims.report(sims.sims.size() - 1, 20000).value("ok", false));
    kill(station, SIGINT);
    EXPECT_EQ(wait_exit(station, 5000), 3) << "devices failed";
    EXPECT_EQ(read_records(log).size(), 7u);
}
