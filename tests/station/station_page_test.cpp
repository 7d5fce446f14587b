// The station's page over a real session: four devices (one refusing) and
// one plugged in later, seen in Chromium; the API against the records; Stop
// and Resume from the station's own machine. Then a bench of 32 bays and one
// of 16 on one screen each, what needs the operator first, and a device
// plugged into a stopped station.
#include "tests/station/line_support.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace {

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

// A device that stays plugged in once programmed, as on a bench.
bool plug_staying(device_sims *sims, const std::string &link, std::vector<std::string> more = {})
{
    more.insert(more.end(), {"--erase-ms", "50", "--quiet-ms", "600000", "--max-seconds", "300"});
    if (!link.empty())
        more.insert(more.end(), {"--link", link});
    if (std::find(more.begin(), more.end(), "--baud") == more.end())
        more.insert(more.end(), {"--baud", "0"});
    return sims->start(more);
}

// What a bench test leaves running or lying about, ended and removed however
// the test ends: a station left behind would go on watching its folder, and
// a link left there names whatever device later gets that pty's number.
struct bench_guard {
    std::vector<pid_t> pids; // not reaped yet
    std::vector<std::string> links;
    // Sends `sig` to `pid` (one of pids) and waits up to `ms` for it: its
    // status, or -1 (then it is killed at the end).
    int end(pid_t pid, int sig, int ms)
    {
        kill(pid, sig);
        return reaped(pid, wait_exit(pid, ms));
    }
    int reaped(pid_t pid, int status)
    {
        if (status >= 0)
            pids.erase(std::remove(pids.begin(), pids.end(), pid), pids.end());
        return status;
    }
    ~bench_guard()
    {
        for (const pid_t pid : pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (const std::string &link : links)
            unlink(link.c_str());
    }
};

// A device whose port another program opened before the station saw it:
// the simulator's pty held, then named `link`. The holder's pid.
pid_t plug_held(device_sims *sims, const std::string &link, const std::string &dir,
                bench_guard *guard)
{
    if (!plug_staying(sims, ""))
        return -1;
    const std::string pty = sims->sims.back().pty;
    const pid_t holder = sim_spawn({"sh", "-c", "exec 3<>\"$0\"; exec sleep 300", pty},
                                   dir + "/holder.out", dir + "/holder.err");
    guard->pids.push_back(holder);
    const std::string fd = "/proc/" + std::to_string(holder) + "/fd/3";
    EXPECT_TRUE(wait_for(5000, [&] { return access(fd.c_str(), F_OK) == 0; }));
    EXPECT_EQ(symlink(pty.c_str(), link.c_str()), 0);
    guard->links.push_back(link);
    return holder;
}

// A port another program holds: its tile says so while it is asked for.
void held_port_tile(device_sims *sims, const std::string &dir, const std::string &url,
                    bench_guard *guard)
{
    const pid_t holder = plug_held(sims, dir + "/dut-held", dir, guard);
    ASSERT_GT(holder, 0);
    EXPECT_TRUE(wait_for(8000, [&] {
        const json st = json::parse(page_http(dir, "GET", url + "api/status"), nullptr, false);
        return st.is_object() && st["slots"].at(0).value("state", "") == "in-use";
    }));
    EXPECT_TRUE(wait_for(15000, [&] { return has(sim_slurp(dir + "/station.out"), "BUSY "); }));
    guard->end(holder, SIGKILL, 1000);
}

// A bench's station: `bays` named slots, bay-N on dir/dutN; its pid, and
// the page's address in `url`.
pid_t start_bench(const std::string &dir, int bays, std::vector<std::string> more, std::string *url)
{
    const std::string err = dir + "/station.err";
    std::vector<std::string> args{
        ZMK_CLI,       "--station", "--match",          dir + "/dut*", "--ui",
        "127.0.0.1:0", "--log",     dir + "/log.jsonl", "--timeout",   "5"};
    args.insert(args.end(), more.begin(), more.end());
    for (int i = 1; i <= bays; ++i)
        args.insert(args.end(), {"--slot", "bay-" + std::to_string(i) + "=" + dir + "/dut" +
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

// "bay-1=PASS; bay-2=PASS; ...", each bay PASS unless `words` names it.
std::string bay_words(int bays, const std::map<int, std::string> &words)
{
    std::string out;
    for (int i = 1; i <= bays; ++i) {
        const auto w = words.find(i);
        out += "bay-" + std::to_string(i) + "=" + (w == words.end() ? "PASS" : w->second) + "; ";
    }
    return out;
}

json status_of(const std::string &dir, const std::string &url)
{
    return json::parse(page_http(dir, "GET", url + "api/status"), nullptr, false);
}

// Sixteen bays: bay-2 sits behind a slow adapter, bay-3 goes silent, another
// program holds bay-6's port, bay-10 and bay-13 are slow. The holder's pid,
// -1 when a plug failed.
pid_t plug_sixteen(device_sims *sims, const std::string &dir, bench_guard *guard)
{
    pid_t holder = -1;
    for (int i = 1; i <= 16; ++i) {
        const std::string link = dir + "/dut" + std::to_string(i);
        std::vector<std::string> more;
        if (i == 2)
            more = {"--adapter-latency-ms", "16", "--baud", "115200"}; // not lowered
        else if (i == 3)
            more = {"--silent-after", "8"};
        else if (i == 10 || i == 13) // still programming for the pictures
            more = {"--baud", "19200"};
        if (i == 6)
            holder = plug_held(sims, link, dir, guard);
        else if (!plug_staying(sims, link, more))
            return -1;
    }
    return holder;
}

// The station stopped: bay-1's device unplugged and another plugged in,
// which waits and says so, unrecorded.
void stopped_bay(device_sims *sims, const std::string &dir, const std::string &url,
                 const std::string &stopped)
{
    sims->report(0, 0); // bay-1's device unplugged
    ASSERT_TRUE(wait_for(5000, [&] {
        const json st = status_of(dir, url);
        return st.is_object() && st["slots"][0]["present"] == false;
    }));
    const auto bay_1_records = [&] {
        const std::vector<json> all = read_records(dir + "/log.jsonl");
        return std::count_if(all.begin(), all.end(),
                             [&](const json &r) { return r.value("port", "") == dir + "/dut1"; });
    };
    const auto records = bay_1_records();
    ASSERT_TRUE(plug_staying(sims, dir + "/dut1"));
    ASSERT_TRUE(wait_for(5000, [&] {
        const json st = status_of(dir, url);
        return st.is_object() && st["slots"][0].value("detail", json()) == stopped;
    })) << status_of(dir, url).dump();
    EXPECT_EQ(status_of(dir, url)["slots"][0]["state"], "waiting");
    EXPECT_EQ(bay_1_records(), records) << "not started while stopped";
}

// Bays 10 and 13, paced slower, end their runs with a PASS.
void slow_ones_pass(const std::string &dir, const std::string &url)
{
    EXPECT_TRUE(wait_for(60000, [&] {
        const json now = status_of(dir, url);
        return now.is_object() && now["slots"][9]["state"] == "pass" &&
               now["slots"][12]["state"] == "pass";
    })) << status_of(dir, url).dump();
}

// The browser's picture, kept where $ENV says (the README's pictures).
void keep_picture(const std::string &shot, const char *env)
{
    if (const char *picture = std::getenv(env)) {
        std::error_code e;
        std::filesystem::copy_file(shot, picture, std::filesystem::copy_options::overwrite_existing,
                                   e);
        EXPECT_FALSE(e) << picture << ": " << e.message();
    }
}

// Stopped from the station's own machine (with the page's token only), a
// device plugged in waits until Resume.
void stop_and_resume_by_token(device_sims *sims_, const std::string &dir, const std::string &url)
{
    device_sims &sims = *sims_;
    const std::string token = page_token(dir, url);
    ASSERT_EQ(token.size(), 32u);
    const auto stops = [&] { // the browser's Stop came before
        const std::string out = sim_slurp(dir + "/station.out");
        size_t n = 0;
        for (size_t at = out.find("stopped from the page"); at != std::string::npos;
             at = out.find("stopped from the page", at + 1))
            ++n;
        return n;
    };
    const size_t before = stops();
    EXPECT_EQ(page_http(dir, "POST", url + "api/stop", "wrong"), "") << "refused without it";
    page_http(dir, "POST", url + "api/stop", token);
    ASSERT_TRUE(wait_for(3000, [&] { return stops() == before + 1; })) << "one Stop, the token's";
    ASSERT_TRUE(plug(&sims, dir + "/dut5"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(has(sim_slurp(dir + "/station.out"), dir + "/dut5"));
    page_http(dir, "POST", url + "api/resume", token);
    EXPECT_TRUE(sims.report(sims.sims.size() - 1, 20000).value("ok", false));
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
    bench_guard guard;
    const pid_t station = start_station(dir, log, &url);
    guard.pids.push_back(station);
    ASSERT_FALSE(url.empty());

    const std::string shots = std::string(ZMK_ARTEFACTS) + "/station-page";
    const pid_t browser = sim_spawn(
        {"setsid", "/usr/bin/python3", ZMK_PAGE_TEST, "--url", url, "--out", shots, "--wait", "40",
         "--press", "--step", "bay-1=PASS; bay-2=NO ANSWER; bay-3=PASS", "--step",
         "bay-1=PASS; bay-2=FAIL; bay-2~stopped answering; bay-4=FAIL; bay-4~refuses; "
         "#programmed=4; #ok=2; #failed=2"},
        dir + "/browser.out", dir + "/browser.err");
    guard.pids.push_back(browser);
    ASSERT_TRUE(plug(&sims, dir + "/dut0"));
    ASSERT_TRUE(plug(&sims, dir + "/dut1", {"--silent-after", "8"}));
    ASSERT_TRUE(plug(&sims, dir + "/dut2"));
    ASSERT_TRUE(plug(&sims, dir + "/dut3", {"--refuse-after", "8"}));
    for (int i = 0; i < 4; ++i) // the silent and the refusing are given up 15 s on
        sims.report(size_t(i), 25000);
    const int seen = guard.reaped(browser, wait_exit(browser, 150000));
    EXPECT_EQ(seen, 0) << sim_slurp(dir + "/browser.out") << sim_slurp(dir + "/browser.err");
    std::printf("%s", sim_slurp(dir + "/browser.out").c_str());

    // A device plugged in later gets a tile of its own, after the named ones.
    ASSERT_TRUE(plug(&sims, dir + "/dut4"));
    EXPECT_TRUE(wait_for(8000, [&] {
        const json st = json::parse(page_http(dir, "GET", url + "api/status"), nullptr, false);
        return st.is_object() && st["slots"].size() == 6 &&
               st["slots"].at(5).value("name", "") == dir + "/dut4" &&
               st["slots"].at(5).value("state", "") == "pass";
    }));

    held_port_tile(&sims, dir, url, &guard);

    // What the page's API gives is what the log holds, record for record
    // (the log's audit trail, the browser's Stop and Resume, is not a record).
    std::istringstream lines(sim_slurp(log));
    std::string records;
    for (std::string line; std::getline(lines, line);)
        if (!line.starts_with("{\"audit\":"))
            records += line + "\n";
    EXPECT_EQ(page_http(dir, "GET", url + "api/records?after=0"), records);
    const json status = json::parse(page_http(dir, "GET", url + "api/status"), nullptr, false);
    EXPECT_EQ(status["counts"]["programmed"], 5) << status.dump();
    EXPECT_EQ(status["counts"]["failed"], 2) << status.dump();
    EXPECT_EQ(status["counts"]["in_use"], 1) << status.dump();

    stop_and_resume_by_token(&sims, dir, url);
    EXPECT_EQ(guard.end(station, SIGINT, 5000), 3) << "devices failed";
    EXPECT_EQ(read_records(log).size(), 7u);
}

// A bay held after a failure, CHECK BAY on its tile (docs/station-held.png,
// into $ZMK_PAGE_PICTURE_HELD when set), is cleared by its Clear button in
// the browser (the next device there is bays_test's).
TEST(StationPage, AHeldBayIsClearedFromTheBrowser)
{
    device_sims sims;
    const std::string &dir = sims.dir;
    std::string url;
    bench_guard guard;
    const pid_t station = start_bench(dir, 8, {"--hold-after-failures", "1"}, &url);
    guard.pids.push_back(station);
    ASSERT_FALSE(url.empty());
    for (int i = 1; i <= 8; ++i)
        ASSERT_TRUE(plug_staying(&sims, dir + "/dut" + std::to_string(i),
                                 i == 3 ? std::vector<std::string>{"--hangup-at", "2"}
                                        : std::vector<std::string>{}));
    const std::string shots = std::string(ZMK_ARTEFACTS) + "/station-page-held";
    const pid_t browser = sim_spawn(
        {"setsid", "/usr/bin/python3", ZMK_PAGE_TEST, "--url", url, "--out", shots, "--wait", "40",
         "--step", "@1280x720; " + bay_words(8, {{3, "CHECK BAY"}}) + "!needs=bay-3; !shot=held",
         "--step", "!press=clear:bay-3; bay-3=FAIL|WAITING; !shot=cleared"},
        dir + "/browser.out", dir + "/browser.err");
    guard.pids.push_back(browser);
    const int seen = guard.reaped(browser, wait_exit(browser, 150000));
    EXPECT_EQ(seen, 0) << sim_slurp(dir + "/browser.out") << sim_slurp(dir + "/browser.err");
    EXPECT_TRUE(has(sim_slurp(dir + "/station.out"), "bay-3 cleared from the page (127.0.0.1)"));
    keep_picture(shots + "/held.png", "ZMK_PAGE_PICTURE_HELD");
    EXPECT_EQ(guard.end(station, SIGINT, 10000), 3) << "a device failed";
}

// A bench of 32 bays seen at 1920 x 1080: every tile inside the window, one
// device refusing (FAIL), one port another program holds (IN USE), and the
// strip naming both, the failure first.
TEST(StationPage, ThirtyTwoBaysOnOneScreen)
{
    device_sims sims;
    const std::string &dir = sims.dir;
    std::string url;
    bench_guard guard;
    const pid_t station = start_bench(dir, 32, {}, &url);
    guard.pids.push_back(station);
    ASSERT_FALSE(url.empty());
    pid_t holder = -1;
    for (int i = 1; i <= 32; ++i) {
        const std::string link = dir + "/dut" + std::to_string(i);
        if (i == 20)
            holder = plug_held(&sims, link, dir, &guard);
        else
            ASSERT_TRUE(plug_staying(&sims, link,
                                     i == 7 ? std::vector<std::string>{"--refuse-after", "8"}
                                            : std::vector<std::string>{}));
    }
    ASSERT_GT(holder, 0);
    const std::string shots = std::string(ZMK_ARTEFACTS) + "/station-page-32";
    const pid_t browser = sim_spawn(
        {"setsid", "/usr/bin/python3", ZMK_PAGE_TEST, "--url", url, "--out", shots, "--wait", "60",
         "--step",
         "@1920x1080; " + bay_words(32, {{7, "FAIL"}, {20, "IN USE"}}) +
             "bay-7~refuses; #programmed=31; #failed=1; !needs=bay-7,bay-20; !fit; !header; "
             "!shot=bays-32-1920x1080"},
        dir + "/browser.out", dir + "/browser.err");
    guard.pids.push_back(browser);
    const int seen = guard.reaped(browser, wait_exit(browser, 200000));
    EXPECT_EQ(seen, 0) << sim_slurp(dir + "/browser.out") << sim_slurp(dir + "/browser.err");
    std::printf("%s", sim_slurp(dir + "/browser.out").c_str());

    // The API's list is the strip's, and says what to do.
    const json st = status_of(dir, url);
    ASSERT_TRUE(st.is_object());
    ASSERT_EQ(st["needs"].size(), 2u) << st.dump();
    EXPECT_EQ(st["needs"][0], json({{"slot", "bay-7"},
                                    {"state", "fail"},
                                    {"text", "unplug the device and plug it in again to program "
                                             "it again"}}));
    EXPECT_EQ(st["needs"][1]["slot"], "bay-20");
    EXPECT_EQ(st["needs"][1]["state"], "in-use");
    guard.end(holder, SIGKILL, 1000);
    EXPECT_EQ(guard.end(station, SIGINT, 10000), 3) << "a device failed";
}

// A bench of 16 bays with serial numbers: inside the window at 1366 x 768
// and at 1920 x 1080 (the README's picture, into $ZMK_PAGE_PICTURE when
// set), the header in one row at 1280; then Stop, a device unplugged and
// another plugged into its bay says it is not started, and Resume starts it.
TEST(StationPage, SixteenBaysAndADevicePluggedIntoAStoppedStation)
{
    device_sims sims;
    const std::string &dir = sims.dir, db = dir + "/line.db";
    setenv("XDG_STATE_HOME", dir.c_str(), 1); // the spools stay in the test's folder
    const run_result pool = run_program(
        {ZMK_CLI, "--db", db, "--new-pool", "--serial-at", "0x100", "--serial-start", "100231"},
        dir);
    ASSERT_EQ(pool.status, 0) << pool.err;
    std::string url;
    bench_guard guard;
    const pid_t station = start_bench(
        dir, 16, {"--db", db, "--serial-pool", "default", "--station-name", "line-2 station 3"},
        &url);
    guard.pids.push_back(station);
    ASSERT_FALSE(url.empty());
    const pid_t holder = plug_sixteen(&sims, dir, &guard);
    ASSERT_GT(holder, 0);
    const std::string shots = std::string(ZMK_ARTEFACTS) + "/station-page-16";
    const std::string stopped = "plugged in, not started: the station is stopped";
    const std::string bays = bay_words(16, {{2, "PASS|PROGRAMMING"},
                                            {3, "FAIL"},
                                            {6, "IN USE"},
                                            {10, "PROGRAMMING"},
                                            {13, "PROGRAMMING"}});
    const pid_t browser = sim_spawn(
        {"setsid", "/usr/bin/python3", ZMK_PAGE_TEST, "--url", url, "--out", shots, "--wait", "60",
         "--step",
         "@1920x1080; " + bays +
             "bay-3~stopped answering; !needs=bay-3,bay-6; !fit; !header; !shot=station-16",
         "--step",
         "@1366x768; " + bays + "!needs=bay-3,bay-6; !fit; !header; !shot=bays-16-1366x768",
         "--step", "@1280x720; bay-2~slow adapter:; !header; !shot=bays-16-1280x720",
         // Stopped: bay-1's device unplugged and another plugged in.
         "--step",
         "@1920x1080; !press=stop; bay-1=WAITING; bay-1~" + stopped + "; !shot=stopped-bay",
         "--step", "!press=resume; bay-1=PASS; !shot=resumed"},
        dir + "/browser.out", dir + "/browser.err");
    guard.pids.push_back(browser);

    ASSERT_TRUE(wait_for(150000, [&] {
        const json st = status_of(dir, url);
        return st.is_object() && st["state"] != "running";
    })) << sim_slurp(dir + "/browser.out");
    stopped_bay(&sims, dir, url, stopped);

    const int seen = guard.reaped(browser, wait_exit(browser, 200000));
    EXPECT_EQ(seen, 0) << sim_slurp(dir + "/browser.out") << sim_slurp(dir + "/browser.err");
    std::printf("%s", sim_slurp(dir + "/browser.out").c_str());
    const json st = status_of(dir, url);
    EXPECT_EQ(st["slots"][0]["state"], "pass") << st.dump();
    EXPECT_EQ(st["halt"], nullptr);

    keep_picture(shots + "/station-16.png", "ZMK_PAGE_PICTURE");
    guard.end(holder, SIGKILL, 1000);
    slow_ones_pass(dir, url);
    EXPECT_EQ(guard.end(station, SIGINT, 60000), 3) << "a device failed";
}
