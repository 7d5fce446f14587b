// zmk-devsim end to end: the program on a real pseudo-terminal, driven by a
// host made of our layers on the POSIX port backend, judged by its report.
#include "bench/harness.h"

#include "framework/bytes.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(DevsimPty, FullRunMatchesTheImageAcrossAReopen)
{
    auto img = image();
    ASSERT_EQ(img.size(), 60800u);
    sim s({"--baud", "0", "--erase-ms", "50", "--expect", ZMK_IMAGE_FILE, "--max-seconds", "60"});
    ASSERT_FALSE(s.tty.empty());
    pty_host h;
    ASSERT_TRUE(h.open(s.tty));
    h.host.start(img);
    EXPECT_FALSE(h.host.run(100));
    ASSERT_TRUE(h.open(s.tty)); // the host lets go of the port and comes back
    EXPECT_TRUE(h.host.run(2000));
    EXPECT_EQ(s.wait(), 0);
    EXPECT_EQ(s.field("ok"), "true");
    EXPECT_EQ(s.field("flash_matches"), "true");
    EXPECT_EQ(s.field("violations"), "[]");
    EXPECT_EQ(s.field("end"), "\"reset\"");
    EXPECT_GE(std::stoi(s.field("exchanges")), 243);
}

TEST(DevsimPty, FaultsOnTheWireAreRetriedAndTheModeFollowed)
{
    auto img = image();
    sim s({"--baud",        "0",   "--erase-ms",   "50",     "--expect",     ZMK_IMAGE_FILE,
           "--max-seconds", "60",  "--mode",       "tagged", "--tag",        "5",
           "--switch-at",   "150", "--drop-at",    "10,20",  "--corrupt-at", "30",
           "--nak-at",      "40",  "--garbage-at", "50,51",  "--delay-at",   "60",
           "--stall-at",    "70",  "--garbage",    "0.05",   "--seed",       "3"});
    pty_host h;
    ASSERT_TRUE(h.open(s.tty));
    h.host.start(img);
    EXPECT_TRUE(h.host.run(4000));
    EXPECT_EQ(s.wait(), 0);
    EXPECT_EQ(s.field("ok"), "true");
    EXPECT_EQ(s.field("flash_matches"), "true");
    EXPECT_EQ(s.field("switches"), "1");
    EXPECT_EQ(s.field("mode"), "\"plain\"");
    std::string faults = s.field("faults");
    EXPECT_NE(faults.find("\"drop\": 2, \"corrupt\": 1, \"nak\": 1,"), std::string::npos) << faults;
    EXPECT_NE(faults.find("\"delay\": 1, \"stall\": 1,"), std::string::npos) << faults;
    // Two dropped, one corrupted and one stalled "ACK": each one makes a repeat.
    EXPECT_GE(std::stoi(s.field("repeats")), 4);
}

TEST(DevsimPty, PacedRunTakesItsWireTimeAndSurvivesAStall)
{
    std::vector<uint8_t> img(2048, 0x5A);
    // Requests that queue up during a stall are answered right behind its tail,
    // where the host drains them; answered later, the host would take one as
    // the "ACK" of its next command and the refused frame 9 would desynchronise it.
    sim s({"--baud", "115200", "--erase-ms", "0", "--max-seconds", "20", "--stall-at", "5",
           "--nak-at", "9"});
    pty_host h;
    ASSERT_TRUE(h.open(s.tty));
    h.host.start(img);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(h.host.run(500));
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_EQ(s.wait(), 0);
    // 9 frames of 276 bytes and a few short ones, 10 bits a byte at 115200
    int wire = std::stoi(s.field("wire_ms"));
    EXPECT_GE(wire, 9 * 276 * 10 / 115);
    EXPECT_GE(ms, wire);
}

TEST(DevsimPty, RuleBreakerEndsWithoutSuccess)
{
    sim s({"--baud", "0", "--max-seconds", "1"});
    port_handle p = port_open(s.tty.c_str());
    ASSERT_TRUE(p);
    ser_configure(p, 115200, 120000);
    uint8_t erase[20] = {'E', 'R', 'A', 'S', 'E', 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0};
    put_le32(erase + 16, crc32_block(erase, 16) ^ 0x80u); // one bad bit in the CRC
    ser_write_frame(p, erase, 20);
    usleep(50'000);
    put_le32(erase + 16, crc32_block(erase, 16));
    ser_write_frame(p, erase, 20);
    usleep(50'000);
    uint8_t chunk[16 + 256 + 4] = {'P', 'R', 'O', 'G', 'R', 'A', 'M', 0, 0, 1, 0, 0, 0, 2};
    put_le32(chunk + 272, crc32_block(chunk, 272)); // the second chunk, before the first
    ser_write_frame(p, chunk, 276);
    EXPECT_EQ(s.wait(), 1);
    port_close(p);
    std::string v = s.field("violations");
    EXPECT_NE(v.find("bad CRC"), std::string::npos) << v;
    EXPECT_NE(v.find("before the erase poll"), std::string::npos) << v;
    EXPECT_EQ(s.field("ended_with_reset"), "false");
    EXPECT_EQ(s.field("end"), "\"timeout\"");
}

} // namespace
