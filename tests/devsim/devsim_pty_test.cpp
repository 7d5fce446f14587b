// zmk-devsim end to end: the program on a real pseudo-terminal, driven by a
// host made of our layers on the POSIX port backend (or by hand on the raw
// tty, for the line faults), judged by its report.
#include "tests/support/pty_run.h"
#include "tests/devsim/host.h"

#include "framework/bytes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>

namespace {

int64_t ms_now()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The host's end of the pty, raw and non-blocking, read with a stopwatch.
struct raw_tty {
    int fd;
    explicit raw_tty(const std::string &path)
        : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    ~raw_tty() { close(fd); }
    // What arrives within `ms`, and the longest pause between two arrivals.
    std::vector<uint8_t> read_for(int64_t ms, int64_t *gap = nullptr)
    {
        std::vector<uint8_t> got(1 << 16);
        size_t n = 0;
        pollfd pfd{fd, POLLIN, 0};
        for (int64_t end = ms_now() + ms, last = -1; ms_now() < end;) {
            if (poll(&pfd, 1, int(end - ms_now())) == 1 && n < got.size()) {
                n += size_t(std::max<ssize_t>(read(fd, &got[n], got.size() - n), 0));
                if (gap && last >= 0)
                    *gap = std::max(*gap, ms_now() - last);
                last = ms_now();
            }
        }
        got.resize(n);
        return got;
    }
    std::string ask(const std::vector<uint8_t> &f)
    {
        EXPECT_EQ(write(fd, f.data(), f.size()), ssize_t(f.size()));
        auto all = plain_answers(read_for(60));
        return all.empty() ? "none" : all[0];
    }
};

long inner(const std::string &object, const char *key)
{
    size_t at = object.find(std::string("\"") + key + "\": ");
    return at == std::string::npos ? -1 : std::atol(object.c_str() + at + std::strlen(key) + 4);
}

const auto erase_frame = frame(cmd("ERASE", {0, 0x10000})),
           poll_frame = frame(cmd("PROGRAM", {0, 0})),
           chunk0 = frame(cmd("PROGRAM", {0, 0x100}, std::vector<uint8_t>(256, 0xFF)));

// Chatter and trickle after the erase poll, for 700 ms: text at its rate with
// no END, ESC or reply in it, a frame not taken, then answers again.
TEST(DevsimPty, ChatterAndTrickleFillTheLineForAWhile)
{
    struct noise_case {
        const char *option, *baud;
        size_t least, most; // bytes in 400 ms
        int64_t max_gap;
    } const cases[] = {// Bounds leave room for a loaded machine's scheduling.
                       {"--chatter-after", "0", 100, 210, 120},
                       {"--chatter-after", "115200", 2500, 4800, 120},
                       {"--trickle-after", "0", 3, 5, 250}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.option) + " at " + c.baud);
        sim s({"--baud", c.baud, "--erase-ms", "0", c.option, "2", "--line-fault-ms", "700"});
        raw_tty h(s.tty);
        ASSERT_EQ(h.ask(erase_frame), "ACK");
        ASSERT_EQ(h.ask(poll_frame), "ACK");
        const int64_t t0 = ms_now();
        EXPECT_EQ(write(h.fd, chunk0.data(), chunk0.size()), ssize_t(chunk0.size()));
        int64_t gap = 0;
        auto noise = h.read_for(400, &gap);
        EXPECT_GE(noise.size(), c.least);
        EXPECT_LE(noise.size(), c.most);
        EXPECT_LE(gap, c.max_gap);
        for (uint8_t b : noise)
            ASSERT_TRUE((b >= 0x20 && b < 0x7F) || b == '\r' || b == '\n') << int(b);
        h.read_for(t0 + 700 - ms_now());
        EXPECT_TRUE(h.read_for(100).empty()); // over: a quiet line
        EXPECT_EQ(h.ask(chunk0), "ACK");
        kill(s.pid, SIGTERM);
        EXPECT_EQ(s.wait(), 1);
        std::string lf = s.field("line_fault");
        EXPECT_EQ(inner(lf, "ended_ms") - inner(lf, "started_ms"), 700) << lf;
        EXPECT_GE(inner(lf, "bytes"), long(noise.size())) << lf;
        EXPECT_EQ(inner(lf, "frames_ignored"), 1) << lf;
    }
}

// Deaf after the erase poll for a second: the host's writes fill the pty and
// block, nothing is answered, and then every frame that queued up is.
TEST(DevsimPty, DeafDeviceBlocksTheHostThenReadsWhatQueuedUp)
{
    sim s({"--baud", "0", "--erase-ms", "0", "--deaf-after", "2", "--line-fault-ms", "1000"});
    raw_tty h(s.tty);
    ASSERT_EQ(h.ask(erase_frame), "ACK");
    ASSERT_EQ(h.ask(poll_frame), "ACK");
    size_t sent = 0;
    int err = 0;
    pollfd pfd{h.fd, POLLOUT, 0};
    while (sent < (1u << 20)) { // until the pty stays full: the kernel moves bytes on late
        size_t off = sent % chunk0.size();
        ssize_t w = write(h.fd, chunk0.data() + off, chunk0.size() - off);
        sent += size_t(std::max<ssize_t>(w, 0));
        if (w <= 0 && ((err = errno) != EAGAIN || poll(&pfd, 1, 200) != 1))
            break;
    }
    EXPECT_EQ(err, EAGAIN);
    EXPECT_GT(sent, 4096u);
    EXPECT_LT(sent, 48u << 10); // about 16 KB fill an unread pty: the device read nothing
    EXPECT_TRUE(h.read_for(200).empty());
    auto answers = plain_answers(h.read_for(1000));
    EXPECT_EQ(answers.size(), sent / chunk0.size());
    EXPECT_EQ(std::count(answers.begin(), answers.end(), "ACK"), long(answers.size()));
    kill(s.pid, SIGTERM);
    EXPECT_EQ(s.wait(), 1);
    EXPECT_EQ(s.field("violations"), "[]");
    std::string lf = s.field("line_fault");
    EXPECT_EQ(inner(lf, "ended_ms") - inner(lf, "started_ms"), 1000) << lf;
    EXPECT_EQ(inner(lf, "frames_queued"), long(answers.size())) << lf;
    // The host takes the first of the replies sent back to back and drains the others.
    EXPECT_EQ(s.field("acks_lost"), s.field("repeats"));
}

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
