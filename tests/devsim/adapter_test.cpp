// The adapter model on a virtual clock.
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
