#include "layers/lprog.h"

#include "device.h"
#include "framework/plm.h"
#include "framework/zalloc.h"
#include "layers/lpkt.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

long news_count(); // count_new.cpp

namespace {

// The system's stack: lprog over lpkt over the device.
struct Run : testing::Test {
    mlb_t *buf = mlb_new(10000);
    plm_t *stack = plm_new();
    layer_t *prog = lprog_new();
    layer_t *pkt = lpkt_new();
    Device dev;
    std::vector<uint8_t> image = std::vector<uint8_t>(60800);
    std::string text;
    std::vector<lprog_progress> progress;
    bool record = true;

    Run()
    {
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = uint8_t(i * 7 + (i >> 8));
        lprog_init(prog);
        lpkt_init(pkt);
        plm_insert(stack, prog, PLM_TOP, nullptr);
        plm_insert(stack, pkt, PLM_BELOW, prog);
        plm_insert(stack, &dev.layer, PLM_BELOW, pkt);
        lpkt_set_peer_tag(pkt, 0);
        lprog_set_hook(prog, [](void *ctx, const lprog_progress *p, const char *s) {
            auto *self = static_cast<Run *>(ctx);
            if (self->record) {
                self->text += s;
                self->progress.push_back(*p);
            }
        }, this);
        lprog_start(prog, image.data(), uint32_t(image.size()), 0, 256);
    }
    ~Run() override
    {
        lprog_free(prog);
        lpkt_free(pkt);
        plm_free(stack);
        mlb_free(buf);
    }
    void step()
    {
        mlb_reset(buf, 0, 12);
        plm_tx(stack, buf);
        plm_rx(stack, buf);
    }
    // The command inside the last frame sent, whichever packet kind carried it.
    std::vector<uint8_t> command() const
    {
        const uint8_t *f = dev.last.data();
        int n = dev.last_len - 4;
        uint32_t crc = crc32_block(f, n);
        if (crc == get_le32(f + n))
            return {f, f + n};
        EXPECT_EQ(crc, get_be32(f + n));
        return {f + 8, f + n};
    }
};

std::vector<uint8_t> cmd(const char *name, std::initializer_list<uint32_t> words)
{
    std::vector<uint8_t> out(8);
    std::memcpy(out.data(), name, std::strlen(name));
    for (uint32_t w : words) {
        out.resize(out.size() + 4);
        put_le32(out.data() + out.size() - 4, w);
    }
    return out;
}

} // namespace

TEST_F(Run, WholeImageWhenEveryCommandIsAcknowledged)
{
    std::vector<std::vector<uint8_t>> frames;
    dev.log = &frames;
    int steps = 0;
    while (!lprog_done(prog) && steps < 1000) {
        step();
        ++steps;
        EXPECT_EQ(lprog_done(prog), steps == 243 ? 1 : 0);
    }
    ASSERT_EQ(steps, 243);
    for (auto &f : frames) { // plain packets: strip and check the CRC
        ASSERT_EQ(crc32_block(f.data(), int(f.size()) - 4), get_le32(f.data() + f.size() - 4));
        f.resize(f.size() - 4);
    }
    EXPECT_EQ(frames[0], cmd("ERASE", {0, 0xED80}));
    EXPECT_EQ(frames[1], cmd("PROGRAM", {0, 0}));
    std::string want = "Erasing...Waiting for erase complete...";
    char line[32];
    for (uint32_t i = 0; i <= 238; ++i) {
        uint32_t start = i < 238 ? i * 256 : 0;
        auto want_cmd = cmd("PROGRAM", {start, start + 256});
        size_t have = std::min<size_t>(256, image.size() - start);
        want_cmd.insert(want_cmd.end(), image.begin() + start, image.begin() + start + have);
        want_cmd.resize(16 + 256, 0xFF); // past the image: erased flash
        EXPECT_EQ(frames[2 + i], want_cmd) << "chunk " << i;
        std::snprintf(line, sizeof line, "\rProgramming %4lx\r", static_cast<unsigned long>(start));
        want += line;
    }
    EXPECT_EQ(frames[239].size(), 16u + 256);
    EXPECT_EQ(get_le32(frames[239].data() + 12), 0xEE00u);

    const auto &rtc = frames[241];
    ASSERT_EQ(rtc.size(), 24u);
    EXPECT_EQ(std::vector<uint8_t>(rtc.begin(), rtc.begin() + 8), cmd("RTC_SET", {}));
    EXPECT_TRUE(std::equal(rtc.begin() + 8, rtc.begin() + 16, rtc.begin() + 16));
    std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d", rtc[8] + 2000, rtc[9],
                  rtc[10], rtc[11], rtc[12], rtc[13]);
    EXPECT_EQ(rtc[14] | rtc[15], 0);
    want += std::string("\rSetting time to ") + line + "\r\nRESET\n";
    EXPECT_EQ(frames[242], cmd("RESET", {}));
    EXPECT_EQ(text, want);

    ASSERT_EQ(progress.size(), 243u);
    EXPECT_EQ(progress[2].state, LPROG_PROGRAM);
    EXPECT_EQ(progress[239].address, 0xED00u);
    EXPECT_EQ(progress[239].done, 0xED00u);
    EXPECT_EQ(progress[242].done, progress[242].total);

    dev.next = Reply::Ack; // after the run: ACKs change nothing, nothing is sent
    step();
    EXPECT_EQ(lprog_done(prog), 1);
    EXPECT_EQ(frames.size(), 243u);
}

// Whatever goes wrong with a reply, the next step sends the same command;
// the run goes on once an acknowledgement arrives.
TEST_F(Run, FailedRepliesRepeatTheCommand)
{
    const std::vector<Reply> faults[] = {
        {Reply::None}, {Reply::BadCrc}, {Reply::NotAck}, {Reply::AckX}, {Reply::Lower},
        {Reply::ToTagged, Reply::ForeignTag, Reply::ToPlain},
    };
    uint32_t start = 0x200;
    for (int i = 0; i < 4; ++i)
        step(); // ERASE, poll, two chunks
    for (const auto &seq : faults) {
        SCOPED_TRACE(testing::Message() << "fault " << int(seq[0]));
        std::vector<uint8_t> first;
        for (Reply r : seq) {
            dev.next = r;
            step();
            EXPECT_EQ(lprog_state(prog), LPROG_PROGRAM);
            if (first.empty())
                first = command();
            EXPECT_EQ(command(), first);
        }
        step(); // acknowledged at last
        EXPECT_EQ(command(), first);
        EXPECT_EQ(get_le32(first.data() + 8), start);
        start += 0x100;
    }
    EXPECT_EQ(lpkt_mode(pkt), LPKT_PLAIN);

    // A restarted run: ERASE after PROGRAM still sends zeros after the word.
    lprog_start(prog, image.data(), uint32_t(image.size()), 0, 256);
    step();
    EXPECT_EQ(command(), cmd("ERASE", {0, 0xED80}));
}

TEST_F(Run, ShortImageAndIdleLayer)
{
    layer_t *idle = lprog_new();
    lprog_init(idle);
    lprog_set_hook(idle, nullptr, nullptr);
    idle->lower = pkt;
    dev.frames = 0;
    mlb_reset(buf, 0, 12);
    lprog_tx(idle, buf); // idle: nothing leaves the stack
    Device::deliver(&dev.layer, buf, reinterpret_cast<const uint8_t *>("ACK"), 4);
    EXPECT_EQ(dev.frames, 0);
    EXPECT_EQ(lprog_done(idle), 0);
    lprog_free(idle);

    const uint8_t tiny[3] = {1, 2, 3};
    lprog_start(prog, tiny, 3, 0x1FF000, 256);
    for (int i = 0; i < 3; ++i)
        step();
    auto c = command();
    EXPECT_EQ(lprog_state(prog), LPROG_REWRITE_FIRST);
    EXPECT_EQ(get_le32(c.data() + 8), 0x1FF000u);
    EXPECT_EQ(std::vector<uint8_t>(c.begin() + 16, c.begin() + 20),
              (std::vector<uint8_t>{1, 2, 3, 0xFF}));
    step();
    EXPECT_EQ(command(), c);
}

TEST_F(Run, ExchangesAllocateNothing)
{
    record = false;
    step(); // first use of every path outside the counted loop
    uint64_t zallocs = zmk_zalloc_count();
    long before = news_count();
    const Reply mix[] = {Reply::Ack, Reply::None, Reply::ToTagged, Reply::Ack, Reply::BadCrc,
                         Reply::ToPlain, Reply::NotAck};
    for (int run = 0; run < 3; ++run) {
        for (int i = 0; i < 400 && !lprog_done(prog); ++i) {
            dev.next = mix[i % 7];
            step();
        }
        lprog_start(prog, image.data(), uint32_t(image.size()), 0, 256);
    }
    EXPECT_EQ(news_count() - before, 0);
    EXPECT_EQ(zmk_zalloc_count() - zallocs, 0u);
}
