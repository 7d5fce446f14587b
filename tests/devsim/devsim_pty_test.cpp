// zmk-devsim end to end on its pseudo-terminal, driven by hand on the raw
// tty: the line faults it injects, judged by its report.
#include "tests/support/sim.h"
#include "tests/devsim/host.h"

#include <gtest/gtest.h>

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
        sim_proc s;
        ASSERT_TRUE(sim_start(
            &s, sim_tempdir(),
            {"--baud", c.baud, "--erase-ms", "0", c.option, "2", "--line-fault-ms", "700"}));
        raw_tty h(s.pty);
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
        std::string rep = sim_finish(&s, 0);
        EXPECT_EQ(json_number(rep, "ended_ms") - json_number(rep, "started_ms"), 700) << rep;
        EXPECT_GE(json_number(rep, "bytes"), long(noise.size())) << rep;
        EXPECT_EQ(json_number(rep, "frames_ignored"), 1) << rep;
    }
}

// Deaf after the erase poll for a second: the host's writes fill the pty and
// block, nothing is answered, and then every frame that queued up is.
TEST(DevsimPty, DeafDeviceBlocksTheHostThenReadsWhatQueuedUp)
{
    sim_proc s;
    ASSERT_TRUE(sim_start(
        &s, sim_tempdir(),
        {"--baud", "0", "--erase-ms", "0", "--deaf-after", "2", "--line-fault-ms", "1000"}));
    raw_tty h(s.pty);
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
    std::string rep = sim_finish(&s, 0);
    EXPECT_EQ(json_value(rep, "violations"), "[]");
    EXPECT_EQ(json_number(rep, "ended_ms") - json_number(rep, "started_ms"), 1000) << rep;
    EXPECT_EQ(json_number(rep, "frames_queued"), long(answers.size())) << rep;
    // The host takes the first of the replies sent back to back and drains the others.
    EXPECT_EQ(json_value(rep, "acks_lost"), json_value(rep, "repeats"));
}

// A range that is malformed, too long or not inside the flash is a usage
// error; a dump that cannot be written fails the session, one that can holds
// the whole flash.
TEST(DevsimPty, RangesAreCheckedAndTheDumpIsNeverLostSilently)
{
    const std::string dir = sim_tempdir(), image = dir + "/image.bin";
    std::ofstream(image) << "image";
    const std::vector<std::vector<std::string>> refused = {
        {"--show", "0x100"},
        {"--show", "0x0ff0:0x11"},
        {"--show", "0:4097"},
        {"--show", "5:0"},
        {"--show", "-1:4"},
        {"--show", "0x:4"},
        {"--show", "16:4 "},
        {"--expect-skip", "0:4"}, // without --expect
        {"--expect", image, "--expect-skip", "4096:1"},
    };
    for (auto args : refused) {
        args.insert(args.begin(), {ZMK_DEVSIM, "--flash-size", "4096"});
        EXPECT_EQ(run_program(args, dir).status, 2) << args.back();
    }
    auto dump_to = [&dir](const std::string &path) {
        return run_program({ZMK_DEVSIM, "--quiet", "--max-seconds", "0.1", "--flash-size", "4096",
                            "--show", "0xffe:2", "--dump", path},
                           dir);
    };
    auto bad = dump_to(dir + "/no/flash.bin");
    EXPECT_EQ(bad.status, 3);
    EXPECT_TRUE(has(bad.err, "cannot write " + dir + "/no/flash.bin")) << bad.err;
    auto good = dump_to(dir + "/flash.bin");
    EXPECT_EQ(good.status, 1); // the session timed out
    const std::string flash = sim_slurp(dir + "/flash.bin");
    ASSERT_EQ(flash.size(), 4096u);
    char hex[40];
    std::snprintf(hex, sizeof hex, "{\"address\": \"0xffe\", \"hex\": \"%02x%02x\"}",
                  uint8_t(flash[4094]), uint8_t(flash[4095]));
    EXPECT_TRUE(has(good.err, hex)) << good.err;
}

} // namespace

namespace {

// Milliseconds until the first byte comes, within `most`; -1 when none does.
int64_t first_byte_ms(int fd, int64_t most)
{
    const int64_t start = ms_now();
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, int(most)) == 1 ? ms_now() - start : -1;
}

void send_frames(int fd, const std::vector<uint8_t> &f, int times)
{
    std::vector<uint8_t> all;
    for (int i = 0; i < times; ++i)
        all.insert(all.end(), f.begin(), f.end());
    ASSERT_EQ(write(fd, all.data(), all.size()), ssize_t(all.size()));
}

} // namespace

// The adapter holds a short reply for its latency, sends a full packet at
// once, and takes the latency written to its sysfs file. Bounds are loose:
// the machine may be loaded.
TEST(DevsimPty, AdapterHoldsShortRepliesUntilItsTimerOrAFullPacket)
{
    const std::string dir = sim_tempdir();
    sim_proc s;
    ASSERT_TRUE(sim_start(&s, dir,
                          {"--baud", "0", "--erase-ms", "0", "--adapter-latency-ms", "250",
                           "--adapter-sysfs", dir + "/sys"}));
    const std::string name = s.pty.substr(s.pty.rfind('/') + 1);
    const std::string timer = dir + "/sys/class/tty/" + name + "/device/latency_timer";
    EXPECT_EQ(sim_slurp(timer), "250\n");
    raw_tty h(s.pty);

    send_frames(h.fd, erase_frame, 1);
    const int64_t held = first_byte_ms(h.fd, 2000);
    EXPECT_GE(held, 200);
    EXPECT_LT(held, 1500);
    EXPECT_EQ(plain_answers(h.read_for(50)), std::vector<std::string>{"ACK"});

    // Eight repeats: their replies pass 62 bytes long before the timer.
    send_frames(h.fd, erase_frame, 8);
    const int64_t full = first_byte_ms(h.fd, 2000);
    EXPECT_GE(full, 0);
    EXPECT_LT(full, 150);
    EXPECT_GE(plain_answers(h.read_for(400)).size(), 7u);

    std::ofstream(timer) << "1\n";
    send_frames(h.fd, erase_frame, 1);
    const int64_t lowered = first_byte_ms(h.fd, 2000);
    EXPECT_GE(lowered, 0);
    EXPECT_LT(lowered, 150);
    h.read_for(50);

    std::string rep = sim_finish(&s, 0);
    EXPECT_EQ(json_number(rep, "latency_ms"), 1) << rep;
    EXPECT_EQ(json_number(rep, "initial_ms"), 250) << rep;
    EXPECT_GE(json_number(rep, "full"), 1) << rep;
    EXPECT_EQ(json_value(rep, "violations"), "[]");
}
