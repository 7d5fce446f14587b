// The adapter model on a virtual clock, and the sysfs file it follows.
#include "tests/support/sim.h"
#include "tools/devsim/adapter.h"

#include <gtest/gtest.h>

namespace {

const std::vector<uint8_t> reply(9, 0xC0); // about one framed "ACK"

} // namespace

TEST(Adapter, HoldsAShortReplyForItsLatencyAndAFullPacketNotAtAll)
{
    adapter a;
    adapter_init(&a, 16, 62);
    ASSERT_TRUE(adapter_on(&a));
    adapter_put(&a, reply.data(), 9, 1000);
    EXPECT_EQ(adapter_due(&a, 16'999), 0);
    EXPECT_EQ(adapter_due_us(&a), 17'000);
    // More bytes in the meantime do not restart the timer.
    adapter_put(&a, reply.data(), 9, 10'000);
    EXPECT_EQ(adapter_due(&a, 17'000), 18);
    adapter_sent(&a);
    EXPECT_EQ(adapter_due_us(&a), -1);

    // Seven replies reach 62 bytes: they go at once, whatever the timer.
    for (int i = 0; i < 7; ++i)
        adapter_put(&a, reply.data(), 9, 20'000 + i);
    EXPECT_EQ(adapter_due(&a, 20'006), 63);
    adapter_sent(&a);
    EXPECT_EQ(a.timed, 1u);
    EXPECT_EQ(a.full, 1u);

    adapter_init(&a, 0, 62);
    EXPECT_FALSE(adapter_on(&a)) << "latency 0 and no file: no adapter in the way";
}

TEST(Adapter, FollowsItsLatencyTimerFileAtEachHold)
{
    const std::string dir = sim_tempdir();
    adapter a;
    adapter_init(&a, 16, 62);
    std::string error;
    ASSERT_TRUE(adapter_sysfs_make(&a, dir, "7", &error)) << error;
    const std::string file = dir + "/class/tty/7/device/latency_timer";
    EXPECT_EQ(a.file, file);
    EXPECT_EQ(sim_slurp(file), "16\n");

    std::ofstream(file) << "1\n";
    adapter_put(&a, reply.data(), 9, 0);
    EXPECT_EQ(a.latency_ms, 1u);
    EXPECT_EQ(adapter_due(&a, 999), 0);
    EXPECT_EQ(adapter_due(&a, 1000), 9);
    adapter_sent(&a);

    // Not a number: the timer stays as it was. 0 holds nothing back.
    std::ofstream(file) << "fast\n";
    adapter_follow(&a);
    EXPECT_EQ(a.latency_ms, 1u);
    std::ofstream(file) << "0\n";
    adapter_put(&a, reply.data(), 9, 5000);
    EXPECT_EQ(adapter_due(&a, 5000), 9);
    EXPECT_TRUE(adapter_on(&a)) << "a followed file keeps the adapter in, even at 0";

    EXPECT_FALSE(adapter_sysfs_make(&a, "/proc/zmk-no-such-dir", "7", &error));
    EXPECT_TRUE(has(error, "latency_timer")) << error;
}
