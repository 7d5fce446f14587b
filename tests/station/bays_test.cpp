// Bays that watch their own health: three failures in a row hold a bay, a
// device plugged in there is left untouched while the others go on, and the
// page clears it.
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

} // namespace

TEST(Bays, ThreeFailuresHoldABayTheOthersGoOn)
{
    device_sims sims;
    const std::string &dir = sims.dir;
    station st;
    ASSERT_TRUE(st.start(dir, {ZMK_CLI, "--station", "--match", dir + "/dut*", "--ui",
                               "127.0.0.1:0", "--hold-after-failures", "3", "--slot",
                               "bay-1=" + dir + "/dut-a*", "--slot", "bay-2=" + dir + "/dut-b*"}));
    const std::string url = page_url(sim_slurp(st.err));
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
    kill(st.pid, SIGINT);
    EXPECT_EQ(wait_exit(st.pid, 5000), 3) << sim_slurp(st.err);
}
