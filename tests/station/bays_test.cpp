// Bays that watch their own health: three failures in a row hold a bay, a
// device plugged in there is left untouched while the others go on, and the
// page clears it (with its token only). Insertions are counted across
// shifts in the database, and what was done to the station is in its audit
// trail, in the database and in the log alike.
#include "tests/station/line_support.h"

namespace {

bool plug(device_sims *sims, const std::string &link, std::vector<std::string> more = {})
{
    more.insert(more.end(), {"--baud", "0", "--erase-ms", "20", "--quiet-ms", "200",
                             "--max-seconds", "30", "--link", link});
    return sims->start(more);
}

json tile(const std::string &dir, const std::string &url, const std::string &name)
{
    const json st = json::parse(page_http(dir, "GET", url + "api/status"), nullptr, false);
    if (st.is_object())
        for (const json &t : st["slots"])
            if (t.value("name", "") == name)
                return t;
    return json::object();
}

// Two bays held after 3 failures in a row, rated for 6 insertions.
std::vector<std::string> bay_station(const std::string &dir)
{
    std::vector<std::string> args = {
        ZMK_CLI, "--station",      "--match", dir + "/dut*",      "--ui",           "127.0.0.1:0",
        "--db",  dir + "/line.db", "--log",   dir + "/log.jsonl", "--station-name", "bench-1"};
    args.insert(args.end(), {"--hold-after-failures", "3", "--rated-insertions", "6", "--slot",
                             "bay-1=" + dir + "/dut-a*", "--slot", "bay-2=" + dir + "/dut-b*"});
    return args;
}

// The two shifts' audit trail, in the database and in the log alike.
void expect_audit_trail(const std::string &dir, const std::string &log)
{
    const std::string trail = "bay held|bay-1||3 failures in a row, the last: " +
                              read_records(log).at(2).value("message", "") +
                              "\nbay cleared|bay-1|127.0.0.1|\nstopped||127.0.0.1|from the page\n"
                              "stopped|||by a signal\nstopped|||by a signal\n";
    EXPECT_EQ(run_program({"sqlite3", dir + "/line.db",
                           "SELECT event, slot, viewer, detail FROM audit WHERE "
                           "station = 'bench-1' ORDER BY id"},
                          dir)
                  .out,
              trail);
    std::vector<json> audits;
    read_records(log, &audits);
    ASSERT_EQ(audits.size(), 5u);
    EXPECT_EQ(audits[1],
              json::parse(R"({"audit":"bay cleared","time":")" + audits[1].value("time", "") +
                          R"(","station":"bench-1","slot":"bay-1","viewer":"127.0.0.1"})"));
}

} // namespace

TEST(Bays, ThreeFailuresHoldABayThePageClearsItTheCountOutlivesTheShift)
{
    device_sims sims;
    const std::string &dir = sims.dir, log = dir + "/log.jsonl";
    setenv("XDG_STATE_HOME", dir.c_str(), 1);
    const std::vector<std::string> args = bay_station(dir);
    station st;
    ASSERT_TRUE(st.start(dir, args));
    std::string url = page_url(sim_slurp(st.err));
    // Each device hangs up at once: a failure in bay-1, one after another.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(plug(&sims, dir + "/dut-a" + std::to_string(i), {"--hangup-at", "2"}));
        sim_finish(&sims.sims.back(), 10000);
    }
    ASSERT_TRUE(st.says("bay-1 is held after 3 failures in a row", 10000)) << sim_slurp(st.out);
    EXPECT_EQ(tile(dir, url, "bay-1").value("state", ""), "held");

    // The fourth device in the held bay sees no byte; the other bay programs.
    ASSERT_TRUE(plug(&sims, dir + "/dut-a3"));
    ASSERT_TRUE(plug(&sims, dir + "/dut-b0", {"--expect", ZMK_IMAGE_FILE}));
    EXPECT_TRUE(sims.report(4, 20000).value("ok", false));
    ASSERT_TRUE(st.says("not started: bay-1 is held", 5000)) << sim_slurp(st.out);
    EXPECT_EQ(json_number(sim_finish(&sims.sims[3], 0), "exchanges"), 0);
    const json held = tile(dir, url, "bay-1");
    EXPECT_EQ(held.value("state", ""), "held") << held.dump();
    EXPECT_EQ(held.value("insertions", 0), 4) << held.dump();
    EXPECT_EQ(tile(dir, url, "bay-2").value("state", ""), "pass");

    // Clear without the page's token changes nothing; with it, the next
    // device in bay-1 is programmed.
    page_http(dir, "POST", url + "api/clear", "", "bay-1");
    page_http(dir, "POST", url + "api/clear", "wrong", "bay-1");
    EXPECT_EQ(tile(dir, url, "bay-1").value("state", ""), "held");
    page_http(dir, "POST", url + "api/clear", page_token(dir, url), "bay-1");
    ASSERT_TRUE(st.says("bay-1 cleared from the page (127.0.0.1)")) << sim_slurp(st.out);
    ASSERT_TRUE(plug(&sims, dir + "/dut-a4", {"--expect", ZMK_IMAGE_FILE}));
    EXPECT_TRUE(sims.report(5, 20000).value("ok", false));
    ASSERT_TRUE(st.says(dir + "/dut-a4", 5000));
    page_http(dir, "POST", url + "api/stop", page_token(dir, url));
    ASSERT_TRUE(st.says("stopped from the page"));
    kill(st.pid, SIGINT);
    EXPECT_EQ(wait_exit(st.pid, 5000), 3) << sim_slurp(st.err);

    // The next shift: bay-1's five insertions were counted, its sixth
    // reaches its rating.
    station next;
    std::remove(st.err.c_str()); // else the last shift's "waiting" is read
    ASSERT_TRUE(next.start(dir, args));
    url = page_url(sim_slurp(next.err));
    ASSERT_TRUE(plug(&sims, dir + "/dut-a5", {"--expect", ZMK_IMAGE_FILE}));
    EXPECT_TRUE(sims.report(6, 20000).value("ok", false));
    ASSERT_TRUE(wait_for(5000, [&] { return tile(dir, url, "bay-1").value("service_due", false); }))
        << page_http(dir, "GET", url + "api/status");
    EXPECT_EQ(tile(dir, url, "bay-1").value("insertions", 0), 6);
    kill(next.pid, SIGTERM);
    EXPECT_EQ(wait_exit(next.pid, 5000), 0) << sim_slurp(next.err);

    expect_audit_trail(dir, log);
}
