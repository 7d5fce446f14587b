// zmk-cli against zmk-devsim behind a USB serial adapter whose latency timer
// lies in a fake sysfs tree (ZMK_SYSFS_ROOT): zmk-cli lowers it, or says once
// that it could not; either way each record tells how long replies waited.
#include "tests/support/sim.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

class Adapter : public ::testing::Test {
  protected:
    std::string dir = sim_tempdir(), image = dir + "/fw.bin", sys = dir + "/sys";
    sim_proc sims[2];

    void SetUp() override
    {
        std::ofstream(image, std::ios::binary) << std::string(2000, '\x5a');
        setenv("ZMK_SYSFS_ROOT", sys.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("ZMK_SYSFS_ROOT");
        for (sim_proc &s : sims)
            sim_finish(&s, 0);
    }
    // A device behind a 16 ms adapter; its timer read-only when asked. The
    // line is paced: a reply's wait is timed from its command's end on the wire.
    void start(sim_proc *s, const std::string &sub, bool read_only)
    {
        const std::string d = dir + "/" + sub;
        mkdir(d.c_str(), 0755);
        ASSERT_TRUE(sim_start(s, d,
                              {"--baud", "115200", "--erase-ms", "0", "--expect", image,
                               "--adapter-latency-ms", "16", "--adapter-sysfs", sys}));
        if (read_only)
            chmod(timer(*s).c_str(), 0444);
    }
    std::string timer(const sim_proc &s) const
    {
        return sys + "/class/tty/" + s.pty.substr(s.pty.rfind('/') + 1) + "/device/latency_timer";
    }
};

// The reply_ms of the log's last record; -1 when it has none.
double reply_ms(const std::string &log)
{
    std::string text = sim_slurp(log);
    text = text.substr(text.rfind('{', text.rfind("\"reply_ms\"")));
    const std::string v = json_value(text, "reply_ms");
    return v.empty() || v == "null" ? -1 : std::stod(v);
}

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

TEST_F(Adapter, ASingleRunLowersTheTimerOrWarnsOnce)
{
    const std::string log = dir + "/single.jsonl";
    start(&sims[0], "a", false);
    run_result r =
        run_program({ZMK_CLI, "--quiet", "--log", log, "--image", image, sims[0].pty}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(has(r.err, "latency_timer")) << r.err;
    std::string rep = sim_finish(&sims[0]);
    EXPECT_EQ(json_value(rep, "flash_matches"), "true") << rep;
    EXPECT_EQ(json_number(rep, "latency_ms"), 1) << rep;
    EXPECT_GE(reply_ms(log), 0.5);
    EXPECT_LT(reply_ms(log), 4) << "a lowered timer is no slow adapter";

    start(&sims[0], "a", true);
    r = run_program({ZMK_CLI, "--quiet", "--log", log, "--image", image, sims[0].pty}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GE(reply_ms(log), 15.5);
    EXPECT_LT(reply_ms(log), 24);
    const std::string warning = "zmk-cli: " + sims[0].pty +
                                ": the adapter holds replies 16 ms (latency_timer); every "
                                "exchange waits. Fix: ";
    EXPECT_EQ(count(r.err, warning), 1u) << r.err;
    EXPECT_TRUE(has(r.err, "echo 1 | sudo tee " + timer(sims[0]))) << r.err;
    rep = sim_finish(&sims[0]);
    EXPECT_EQ(json_value(rep, "flash_matches"), "true") << rep;
    EXPECT_EQ(json_number(rep, "latency_ms"), 16) << rep;
}

// In a batch each child tells its parent, which says it once per port.
TEST_F(Adapter, ABatchSaysItOncePerPort)
{
    start(&sims[0], "a", true);
    start(&sims[1], "b", true);
    run_result r =
        run_program({ZMK_CLI, "--quiet", "--image", image, sims[0].pty, sims[1].pty}, dir);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const sim_proc &s : sims) {
        EXPECT_EQ(count(r.out, "zmk-cli: " + s.pty + ": the adapter holds replies 16 ms"), 1u)
            << r.out;
        EXPECT_TRUE(has(r.out, "sudo tee " + timer(s))) << r.out;
    }
    EXPECT_FALSE(has(r.out, "@zmk")) << r.out;
}
