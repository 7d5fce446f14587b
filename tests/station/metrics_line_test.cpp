// The station's counts as a scraper reads them during a real session: what
// /metrics says is what the log holds, record for record.
#include "tests/station/line_support.h"

#include <map>
#include <unistd.h>

namespace {

using counts = std::map<std::string, long>;

// The samples of `name` by the value of `label`, summed over the others (no
// label value here holds a quote).
counts samples(const std::string &text, const std::string &name, const std::string &label)
{
    counts out;
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);) {
        const size_t at = l.find("," + label + "=\""), close = l.rfind("} ");
        if (l.rfind(name + "{station=\"line-7\"", 0) != 0 || at == l.npos || close == l.npos)
            continue;
        const size_t from = at + label.size() + 3;
        out[l.substr(from, l.find('"', from) - from)] += std::stol(l.substr(close + 2));
    }
    return out;
}

} // namespace

// Three ports, one a named bay, one device refusing: the counters by result,
// by slot, by serial number's fate and by record equal the log's, and
// promtool takes the whole text.
TEST(StationMetrics, TheCountersAreTheLogsRecords)
{
    device_sims sims;
    const std::string &dir = sims.dir, log = dir + "/log.jsonl", db = dir + "/line.db";
    setenv("XDG_STATE_HOME", dir.c_str(), 1);
    const run_result pool = run_program(
        {ZMK_CLI, "--db", db, "--new-pool", "--serial-at", "0x100", "--serial-start", "7"}, dir);
    ASSERT_EQ(pool.status, 0) << pool.err;
    station st;
    ASSERT_TRUE(
        st.start(dir, {ZMK_CLI, "--station", "--match", dir + "/dut*", "--log", log, "--db", db,
                       "--serial-pool", "default", "--ui", "127.0.0.1:0", "--timeout", "3",
                       "--station-name", "line-7", "--slot", "bay-1=" + dir + "/dut0"}));
    const std::string err = sim_slurp(st.err), at = err.substr(err.find("http://"));
    const std::string url = at.substr(0, at.find('\n')) + "metrics";
    for (int i = 0; i < 3; ++i) {
        std::vector<std::string> args{"--baud", "0",      "--erase-ms",
                                      "20",     "--link", dir + "/dut" + std::to_string(i)};
        if (i == 1)
            args.insert(args.end(), {"--refuse-after", "8"});
        ASSERT_TRUE(sims.start(args));
    }
    ASSERT_TRUE(st.says("3 programmed", 30000)) << sim_slurp(st.out);

    const std::string get = "import sys, urllib.request\n"
                            "r = urllib.request.urlopen(sys.argv[1], timeout=10)\n"
                            "print(r.headers['Content-Type']); sys.stdout.write(r.read().decode())";
    std::string text;
    ASSERT_TRUE(wait_for(3000, [&] {
        text = run_program({"/usr/bin/python3", "-c", get, url}, dir).out;
        return has(text, "zmk_run_seconds_count{station=\"line-7\"} 3\n");
    })) << text;
    EXPECT_EQ(text.substr(0, text.find('\n')), "text/plain; version=0.0.4; charset=utf-8");
    counts results, slots, serials{{"spoiled", 0}, {"returned", 0}};
    for (const json &r : read_records(log)) {
        ++results[r.value("result", "")];
        const std::string port = r.value("port", "");
        ++slots[port == dir + "/dut0" ? "bay-1" : port];
        ++serials[r["serial"].value("state", "")];
    }
    EXPECT_EQ(results, (counts{{"ok", 2}, {"refused", 1}}));
    EXPECT_EQ(samples(text, "zmk_devices_total", "result"), results) << text;
    EXPECT_EQ(samples(text, "zmk_slot_devices_total", "slot"), slots) << text;
    EXPECT_EQ(samples(text, "zmk_serial_numbers_total", "event"), serials) << text;
    EXPECT_EQ(samples(text, "zmk_records_total", "kept"), (counts{{"true", 3}, {"false", 0}}));
    EXPECT_TRUE(has(text, "zmk_starting{station=\"line-7\"} 1\n")) << text;

    if (access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/promtool";
    std::ofstream(dir + "/metrics.txt") << text.substr(text.find('\n') + 1);
    const run_result lint = run_program(
        {"sh", "-c", "/usr/bin/promtool check metrics < \"$0\"", dir + "/metrics.txt"}, dir);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
}
