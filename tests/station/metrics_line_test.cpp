// The station's counts as a scraper reads them during a real session: what
// /metrics says is what the log holds, record for record.
#include "tests/station/line_support.h"

#include <map>
#include <regex>
#include <unistd.h>

namespace {

std::string http_get(const std::string &dir, const std::string &url)
{
    const std::string code = "import sys, urllib.request\n"
                             "r = urllib.request.urlopen(sys.argv[1], timeout=10)\n"
                             "sys.stdout.write(r.headers['Content-Type'] + '\\n' + "
                             "r.read().decode())\n";
    return run_program({"/usr/bin/python3", "-c", code, url}, dir).out;
}

// The samples of `name` by the value of `label`.
std::map<std::string, long> samples(const std::string &text, const std::string &name,
                                    const std::string &label)
{
    std::map<std::string, long> out;
    const std::string body = "(?:[^\"\\\\]|\\\\.)*", other = "(?:,[a-z_]+=\"" + body + "\")*";
    const std::regex line("^" + name + "\\{station=\"" + body + "\"" + other + "," + label +
                          "=\"(" + body + ")\"" + other + "\\} ([0-9]+)$");
    std::istringstream lines(text);
    std::smatch m;
    for (std::string l; std::getline(lines, l);)
        if (std::regex_match(l, m, line))
            out[m[1]] += std::stol(m[2]);
    return out;
}

} // namespace

// Three bays and a device refusing in one: the counters by result, by slot,
// by serial number's fate and by record equal the log's, the histogram
// counts every run, and promtool takes the whole text.
TEST(StationMetrics, TheCountersAreTheLogsRecords)
{
    device_sims sims;
    const std::string &dir = sims.dir, log = dir + "/log.jsonl", db = dir + "/line.db";
    setenv("XDG_STATE_HOME", dir.c_str(), 1);
    const run_result pool = run_program(
        {ZMK_CLI, "--db", db, "--new-pool", "--serial-at", "0x100", "--serial-start", "7"}, dir);
    ASSERT_EQ(pool.status, 0) << pool.err;
    station st;
    ASSERT_TRUE(st.start(dir, {ZMK_CLI,          "--station",
                               "--match",        dir + "/dut*",
                               "--log",          log,
                               "--db",           db,
                               "--serial-pool",  "default",
                               "--ui",           "127.0.0.1:0",
                               "--timeout",      "3",
                               "--station-name", "line \"7\"",
                               "--slot",         "bay-1=" + dir + "/dut0",
                               "--slot",         "bay-2=" + dir + "/dut1"}));
    const std::string err = sim_slurp(st.err), at = err.substr(err.find("http://"));
    const std::string url = at.substr(0, at.find('\n')) + "metrics";
    for (int i = 0; i < 3; ++i) {
        std::vector<std::string> args{"--baud",        "0",
                                      "--erase-ms",    "20",
                                      "--quiet-ms",    "200",
                                      "--max-seconds", "60",
                                      "--link",        dir + "/dut" + std::to_string(i)};
        if (i == 1)
            args.insert(args.end(), {"--refuse-after", "8"});
        ASSERT_TRUE(sims.start(args));
    }
    ASSERT_TRUE(st.says("3 programmed", 30000)) << sim_slurp(st.out);

    std::string text;
    ASSERT_TRUE(wait_for(3000, [&] {
        text = http_get(dir, url);
        return has(text, "zmk_run_seconds_count{station=\"line \\\"7\\\"\"} 3\n");
    })) << text;
    EXPECT_EQ(text.substr(0, text.find('\n')), "text/plain; version=0.0.4");
    const std::vector<json> records = read_records(log);
    ASSERT_EQ(records.size(), 3u);
    std::map<std::string, long> results, slots, serials;
    for (const json &r : records) {
        ++results[r.value("result", "")];
        const std::string port = r.value("port", "");
        const std::string slot = port == dir + "/dut0"   ? "bay-1"
                                 : port == dir + "/dut1" ? "bay-2"
                                                         : port;
        ++slots[slot];
        ++serials[r["serial"].value("state", "")];
    }
    EXPECT_EQ(results, (std::map<std::string, long>{{"ok", 2}, {"refused", 1}}));
    EXPECT_EQ(samples(text, "zmk_devices_total", "result"), results) << text;
    EXPECT_EQ(samples(text, "zmk_slot_devices_total", "slot"), slots) << text;
    serials.try_emplace("spoiled", 0), serials.try_emplace("returned", 0);
    EXPECT_EQ(samples(text, "zmk_serial_numbers_total", "event"), serials) << text;
    EXPECT_EQ(samples(text, "zmk_records_total", "kept"),
              (std::map<std::string, long>{{"true", 3}, {"false", 0}}))
        << text;
    EXPECT_TRUE(has(text, "zmk_starting{station=\"line \\\"7\\\"\"} 1\n")) << text;

    if (access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/promtool";
    std::ofstream(dir + "/metrics.txt") << text.substr(text.find('\n') + 1);
    const run_result lint = run_program(
        {"sh", "-c", "/usr/bin/promtool check metrics < \"$0\"", dir + "/metrics.txt"}, dir);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
}
