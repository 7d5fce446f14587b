// The simulator core driven in memory: by a correct host made of our layers,
// with and without faults, and by hand-made frames that break the rules.
#include "tests/devsim/host.h"

#include "framework/bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::vector<uint8_t> test_image(size_t n)
{
    std::vector<uint8_t> img(n);
    uint64_t x = 12345;
    for (auto &b : img) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        b = uint8_t(x >> 56);
    }
    img[0] = SLIP_END; // the SLIP specials travel escaped
    img[1] = SLIP_ESC;
    return img;
}

devsim_config quick(int32_t mode = DEVSIM_PLAIN)
{
    devsim_config c;
    c.mode = mode;
    c.baud = 0;
    c.erase_ms = 100;
    return c;
}

std::string all_violations(const devsim_t *t)
{
    std::string s;
    for (const auto &v : devsim_violations(t))
        s += v + "\n";
    return s;
}

TEST(DevsimCore, CorrectHostEndsWithResetAndTheImage)
{
    struct run_case {
        const char *name;
        int32_t mode;
        uint32_t tag, switch_at;
        size_t size;
        uint32_t address;
    };
    const run_case cases[] = {
        {"plain", DEVSIM_PLAIN, 0, 0, 60800, 0},
        {"tagged, own tag 7", DEVSIM_TAGGED, 7, 0, 60800, 0},
        {"plain, turns tagged mid-image", DEVSIM_PLAIN, 3, 120, 60800, 0},
        {"tagged, turns plain at the erase poll", DEVSIM_TAGGED, 0, 2, 60800, 0},
        {"short image high in flash", DEVSIM_PLAIN, 0, 0, 200, 0x1FF000},
        {"whole chunks only", DEVSIM_TAGGED, 1, 0, 4096, 0x8000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        devsim_config cfg = quick(c.mode);
        cfg.tag = c.tag;
        cfg.switch_at = c.switch_at;
        mem_host h(cfg);
        auto img = test_image(c.size);
        h.host.start(img, c.address);
        ASSERT_TRUE(h.host.run());
        EXPECT_EQ(devsim_violation_count(h.dev), 0u) << all_violations(h.dev);
        EXPECT_EQ(devsim_flash_matches(h.dev, img), 1);
        devsim_end end;
        end.expect = &img;
        EXPECT_TRUE(devsim_ok(h.dev, &end));
        EXPECT_EQ(devsim_repeats(h.dev), 0u);
        std::string report = devsim_report(h.dev, &end);
        char crc[16];
        std::snprintf(crc, sizeof crc, "\"%08x\"", crc32_block(img.data(), int32_t(img.size())));
        EXPECT_NE(report.find(crc), std::string::npos);
        // Whatever the host sent beyond the image left the old content alone.
        const auto &flash = devsim_flash(h.dev);
        EXPECT_NE(flash[c.address + c.size], 0xFF);
    }
}

TEST(DevsimCore, EveryFaultKindIsRetriedToAMatchingFlash)
{
    auto img = test_image(60800);
    for (int32_t kind = 0; kind < DEVSIM_FAULT_KINDS; ++kind) {
        SCOPED_TRACE(devsim_fault_names[size_t(kind)]);
        devsim_config cfg = quick(kind % 2 ? DEVSIM_TAGGED : DEVSIM_PLAIN);
        cfg.seed = 99 + uint64_t(kind);
        cfg.faults[size_t(kind)].rate = 0.08;
        cfg.faults[size_t(kind)].at = {1, 2, 3}; // ERASE and its repeats, whatever the rate says
        cfg.delay_ms = 150;                      // past the host's wait: the reply is lost
        mem_host h(cfg);
        h.host.start(img);
        ASSERT_TRUE(h.host.run());
        EXPECT_EQ(devsim_violation_count(h.dev), 0u) << all_violations(h.dev);
        EXPECT_EQ(devsim_flash_matches(h.dev, img), 1);
        EXPECT_GT(devsim_fault_count(h.dev, devsim_fault(kind)), 10u);
        // A lost "ACK" makes the host send the command again; a refused one is no repeat.
        if (kind == DEVSIM_NAK || kind == DEVSIM_GARBAGE)
            EXPECT_EQ(devsim_repeats(h.dev), 0u);
        else
            EXPECT_GT(devsim_repeats(h.dev), 5u);
    }
}

// A refusing or chattering device for a while: the run still ends complete,
// and every lost "ACK" comes back as exactly one repeat.
TEST(DevsimCore, TransientLineFaultsEndInACompleteRun)
{
    auto img = test_image(8192);
    for (int32_t kind : {DEVSIM_LINE_REFUSE, DEVSIM_LINE_CHATTER}) {
        SCOPED_TRACE(devsim_line_names[size_t(kind)]);
        devsim_config cfg = quick();
        cfg.faults[DEVSIM_DROP].at = {4};
        cfg.line_fault = {kind, 5, 1500};
        mem_host h(cfg);
        h.host.start(img);
        ASSERT_TRUE(h.host.run());
        EXPECT_EQ(devsim_violation_count(h.dev), 0u) << all_violations(h.dev);
        EXPECT_EQ(devsim_flash_matches(h.dev, img), 1);
        EXPECT_GT(devsim_line(h.dev)->refused + devsim_line(h.dev)->ignored, 3u);
        devsim_end end;
        std::string report = devsim_report(h.dev, &end);
        std::string lost = "\"acks_lost\": " + std::to_string(devsim_repeats(h.dev)) + ",";
        EXPECT_NE(report.find(lost), std::string::npos) << report;
    }
}

// Every poll during a long erase, and every refused command, gets an intact
// reply: "BUSY" or "NAK" with a good CRC.
TEST(DevsimCore, LongEraseAndRefusalAnswerIntactReplies)
{
    devsim_config cfg = quick();
    cfg.erase_ms = 40000;
    cfg.line_fault = {DEVSIM_LINE_REFUSE, 16, 500}; // after the poll that ends the erase
    mem_host h(cfg);
    const auto erase = frame(cmd("ERASE", {0, 0x200})), poll = frame(cmd("PROGRAM", {0, 0}));
    auto answer = [&](const std::vector<uint8_t> &f, int64_t at_ms) {
        h.now_us = at_ms * 1000;
        h.write(f.data(), int(f.size()));
        auto all = plain_answers(h.reply);
        return all.size() == 1 ? all[0] : "?";
    };
    EXPECT_EQ(answer(erase, 1000), "ACK");
    for (int64_t ms = 1000; ms < 41000; ms += 3000)
        EXPECT_EQ(answer(poll, ms), "BUSY") << ms;
    EXPECT_EQ(answer(poll, 41000), "ACK");
    EXPECT_EQ(answer(erase, 41100), "NAK");
    EXPECT_EQ(answer(poll, 41200), "NAK");
    EXPECT_EQ(answer(poll, 41600), "ACK"); // a repeat: the refused erase was not carried out
    EXPECT_EQ(devsim_line(h.dev)->refused, 2u);
    EXPECT_EQ(devsim_violation_count(h.dev), 0u) << all_violations(h.dev);
}

// The longest frame a host may send is taken; one byte more is refused, and
// a bad escape in that byte is reported as the escape it is.
TEST(DevsimCore, FramesAtTheLengthLimit)
{
    struct limit_case {
        int content;               // bytes of 0x11 after the opening END
        std::vector<uint8_t> tail; // then these, then END
        const char *want;
    };
    const limit_case cases[] = {
        {DEVSIM_MAX_FRAME, {}, "bad CRC"},
        {DEVSIM_MAX_FRAME + 1, {}, "frame longer than 10000 bytes"},
        {DEVSIM_MAX_FRAME, {SLIP_ESC, 0x41}, "ESC followed by 41"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want);
        mem_host h(quick());
        std::vector<uint8_t> line(size_t(c.content) + 1, 0x11);
        line[0] = SLIP_END;
        line.insert(line.end(), c.tail.begin(), c.tail.end());
        line.push_back(SLIP_END);
        h.write(line.data(), int(line.size()));
        EXPECT_EQ(devsim_violation_count(h.dev), 1u);
        std::string v = all_violations(h.dev);
        EXPECT_NE(v.find(c.want), std::string::npos) << v;
    }
}

TEST(DevsimCore, RuleBreakersAreReported)
{
    const std::vector<uint8_t> ff(256, 0xFF), ones(256, 0x11), ff2(512, 0xFF);
    const auto erase = frame(cmd("ERASE", {0, 0x200})), poll = frame(cmd("PROGRAM", {0, 0}));
    const auto chunk0 = frame(cmd("PROGRAM", {0, 0x100}, ff)),
               both = frame(cmd("PROGRAM", {0, 0x200}, ff2));
    auto odd_name = cmd("ERASE", {0, 0x200});
    odd_name[7] = 1;
    auto clock = [](std::vector<uint8_t> r) { return frame(cmd("RTC_SET", {}, r)); };
    struct bad_case {
        const char *want;                       // part of the violation text
        std::vector<std::vector<uint8_t>> line; // all clean but the last
    };
    const bad_case cases[] = {
        {"bad CRC", {frame(cmd("ERASE", {0, 0x200}), 1)}},
        {"ESC followed by 41", {{SLIP_END, 0x41, SLIP_ESC, 0x41, 0x42, 0x43, 0x44, SLIP_END}}},
        {"name field ends in 00 01", {frame(odd_name)}},
        {"ERASE of 12 bytes", {frame(cmd("ERASE", {0}))}},
        {"erase poll before ERASE", {poll}},
        {"before the erase poll", {erase, chunk0}},
        {"out of order: expected 0x0", {erase, poll, frame(cmd("PROGRAM", {0x100, 0x200}, ff))}},
        {"carries 255 data bytes",
         {erase, poll, frame(cmd("PROGRAM", {0, 0x100}, std::vector<uint8_t>(255)))}},
        {"differs at 0x0", {erase, poll, chunk0, frame(cmd("PROGRAM", {0, 0x100}, ones))}},
        {"outside the erased range at 0x180",
         {frame(cmd("ERASE", {0, 0x180})), poll, chunk0,
          frame(cmd("PROGRAM", {0x100, 0x200}, ones))}},
        {"expected the first chunk again",
         {erase, poll, chunk0, frame(cmd("PROGRAM", {0x100, 0x200}, ff)),
          frame(cmd("PROGRAM", {0x200, 0x300}, ff))}},
        {"two different time records",
         {erase, poll, both, both, clock({26, 3, 5, 14, 7, 9, 0, 0, 26, 3, 5, 14, 7, 10, 0, 0})}},
        {"impossible time 1a 02 1e",
         {erase, poll, both, both, clock({26, 2, 30, 1, 2, 3, 0, 0, 26, 2, 30, 1, 2, 3, 0, 0})}},
        {"RESET before the clock", {erase, poll, frame(cmd("RESET", {}))}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want);
        mem_host h(quick());
        for (const auto &bytes : c.line) {
            EXPECT_EQ(devsim_violation_count(h.dev), 0u) << all_violations(h.dev);
            h.write(bytes.data(), int(bytes.size()));
            h.now_us += 400'000; // every erase is over by the next frame
        }
        std::string v = all_violations(h.dev);
        EXPECT_NE(v.find(c.want), std::string::npos) << v;
        EXPECT_NE(h.answer(), "ACK");
        devsim_end end;
        EXPECT_FALSE(devsim_ok(h.dev, &end));
    }
}

} // namespace
