// The simulator core driven in memory: by a correct host made of our layers
// against every fault, and by hand-made frames that break the rules.
#include "tests/devsim/host.h"

#include <gtest/gtest.h>

#include <cstdio>
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

// Every fault kind, and a device that refuses or chatters for a while: a
// correct host still ends with the image in flash, repeating what was lost.
TEST(DevsimCore, EveryFaultIsRetriedToAMatchingFlash)
{
    struct fault_case {
        std::string name;
        devsim_config cfg;
        int32_t kind;  // a reply fault, or -1 for a line fault
        uint64_t seen; // the fault struck more often than this
    };
    std::vector<fault_case> cases;
    for (int32_t kind = 0; kind < DEVSIM_FAULT_KINDS; ++kind) {
        devsim_config cfg = quick(kind % 2 ? DEVSIM_TAGGED : DEVSIM_PLAIN);
        cfg.seed = 99 + uint64_t(kind);
        cfg.faults[size_t(kind)].rate = 0.08;
        cfg.faults[size_t(kind)].at = {1, 2, 3}; // ERASE and its repeats, whatever the rate says
        cfg.delay_ms = 150;                      // past the host's wait: the reply is lost
        cases.push_back({devsim_fault_names[size_t(kind)], cfg, kind, 10});
    }
    for (int32_t kind : {DEVSIM_LINE_REFUSE, DEVSIM_LINE_CHATTER}) {
        devsim_config cfg = quick();
        cfg.faults[DEVSIM_DROP].at = {4};
        cfg.line_fault = {kind, 5, 1500};
        cases.push_back({devsim_line_names[size_t(kind)], cfg, -1, 3});
    }
    auto img = test_image(60800);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mem_host h(c.cfg);
        h.host.start(img, 0x8000);
        ASSERT_TRUE(h.host.run());
        EXPECT_EQ(devsim_violation_count(h.dev), 0u) << all_violations(h.dev);
        EXPECT_EQ(devsim_flash_matches(h.dev, img), 1);
        const auto *line = devsim_line(h.dev);
        EXPECT_GT(c.kind < 0 ? line->refused + line->ignored
                             : devsim_fault_count(h.dev, devsim_fault(c.kind)),
                  c.seen);
        // A lost "ACK" makes the host send the command again; a refused one is
        // no repeat. With a line fault, each one lost is exactly one repeat.
        devsim_end end;
        std::string report = devsim_report(h.dev, &end);
        std::string lost = "\"acks_lost\": " + std::to_string(devsim_repeats(h.dev)) + ",";
        if (c.kind == DEVSIM_NAK || c.kind == DEVSIM_GARBAGE) {
            EXPECT_EQ(devsim_repeats(h.dev), 0u);
        } else if (c.kind >= 0) {
            EXPECT_GT(devsim_repeats(h.dev), 5u);
        } else {
            EXPECT_NE(report.find(lost), std::string::npos) << report;
        }
    }
}

// A range read back in hex, and the comparison with an image that differs
// only where a serial number would go: skipped by flash address, it matches.
TEST(DevsimCore, ShowsFlashAndLeavesSkippedRangesOutOfTheComparison)
{
    const auto img = test_image(0x300);
    mem_host h(quick());
    h.host.start(img, 0x8000);
    ASSERT_TRUE(h.host.run());
    auto serial = img;
    serial[0x104] ^= 0x5A;
    serial[0x2FF] ^= 0x5A;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x%02x", img[0x103], img[0x104]);
    struct skip_case {
        std::vector<devsim_range> skip;
        bool matches;
        const char *report; // expected report lines
    } const cases[] = {
        // The second range reaches past the image.
        {{{0x8104, 1}, {0x82FF, 0x1000}},
         true,
         "\"flash_matches\": true,\n  \"expect_skipped\": [\"0x8104:1\", \"0x82ff:4096\"],"},
        {{}, false, "\"flash_matches\": false,\n  \"expect_skipped\": [],"},
        // Image offsets are no flash addresses.
        {{{0x104, 1}, {0x2FF, 1}}, false, "\"flash_matches\": false,"},
    };
    for (const auto &c : cases) {
        devsim_end end;
        end.expect = &serial;
        end.expect_skip = c.skip;
        end.show = {{0x8103, 2}};
        const std::string rep = devsim_report(h.dev, &end);
        EXPECT_NE(rep.find(c.report), std::string::npos) << rep;
        EXPECT_NE(rep.find("\"shown\": [{\"address\": \"0x8103\", \"hex\": \"" + std::string(hex) +
                           "\"}]"),
                  std::string::npos)
            << rep;
        EXPECT_EQ(devsim_ok(h.dev, &end), c.matches);
    }
}

// The frames of `line` go to a fresh device: the last breaks one rule, named
// by `want`, once, and is not acknowledged.
void expect_one_violation(const char *want, const std::vector<std::vector<uint8_t>> &line)
{
    SCOPED_TRACE(want);
    mem_host h(quick());
    for (const auto &bytes : line) {
        EXPECT_EQ(devsim_violation_count(h.dev), 0u) << all_violations(h.dev);
        h.write(bytes.data(), int(bytes.size()));
        h.now_us += 400'000; // every erase is over by the next frame
    }
    std::string v = all_violations(h.dev);
    EXPECT_NE(v.find(want), std::string::npos) << v;
    EXPECT_EQ(devsim_violation_count(h.dev), 1u) << v;
    auto answers = plain_answers(h.reply);
    EXPECT_TRUE(answers.empty() || answers[0] != "ACK");
    devsim_end end;
    EXPECT_FALSE(devsim_ok(h.dev, &end));
}

// Each rule a host can break is reported once, by name, and never
// acknowledged. The longest frame a host may send is taken; one byte more is
// refused, and a bad escape in that byte is reported as the escape it is.
TEST(DevsimCore, RuleBreakersAreReported)
{
    const std::vector<uint8_t> ff(256, 0xFF), ones(256, 0x11), ff2(512, 0xFF);
    const auto erase = frame(cmd("ERASE", {0, 0x200})), poll = frame(cmd("PROGRAM", {0, 0}));
    const auto chunk0 = frame(cmd("PROGRAM", {0, 0x100}, ff)),
               both = frame(cmd("PROGRAM", {0, 0x200}, ff2));
    auto odd_name = cmd("ERASE", {0, 0x200});
    odd_name[7] = 1;
    auto clock = [](std::vector<uint8_t> r) { return frame(cmd("RTC_SET", {}, r)); };
    auto longest = [](int content, std::vector<uint8_t> tail) {
        std::vector<uint8_t> line(size_t(content) + 1, 0x11);
        line[0] = SLIP_END;
        line.insert(line.end(), tail.begin(), tail.end());
        line.push_back(SLIP_END);
        return line;
    };
    struct bad_case {
        const char *want;                       // part of the violation text
        std::vector<std::vector<uint8_t>> line; // all clean but the last
    };
    const bad_case cases[] = {
        {"bad CRC", {frame(cmd("ERASE", {0, 0x200}), 1)}},
        {"bad CRC", {longest(DEVSIM_MAX_FRAME, {})}},
        {"frame longer than 10000 bytes", {longest(DEVSIM_MAX_FRAME + 1, {})}},
        {"ESC followed by 41", {longest(DEVSIM_MAX_FRAME, {SLIP_ESC, 0x41})}},
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
    for (const auto &c : cases)
        expect_one_violation(c.want, c.line);
}

} // namespace
