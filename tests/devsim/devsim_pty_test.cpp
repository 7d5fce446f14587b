// zmk-devsim end to end: the program on a real pseudo-terminal, driven by a
// host made of our layers on the POSIX port backend, judged by its report.
#include "framework/bytes.h"
#include "framework/mlb.h"
#include "framework/plm.h"
#include "layers/lpkt.h"
#include "layers/lprog.h"
#include "layers/ser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<uint8_t> image()
{
    std::string s = slurp(ZMK_IMAGE_FILE);
    return {s.begin(), s.end()};
}

struct sim {
    pid_t pid = -1;
    std::string tty, report;

    explicit sim(std::vector<std::string> args)
    {
        char dir[] = "/tmp/zmk-devsim-XXXXXX";
        report = std::string(mkdtemp(dir)) + "/report.json";
        args.insert(args.begin(), {ZMK_DEVSIM, "--quiet", "--report", report});
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            tty += c;
        close(fds[0]);
    }
    ~sim()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Exit status once it has ended by itself (or -1 after `ms`).
    int wait(int ms = 3000)
    {
        int status = 0;
        for (int waited = 0; waited < ms; waited += 10) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10'000);
        }
        return -1;
    }
    std::string field(const char *key) const
    {
        std::string j = slurp(report), k = std::string("\"") + key + "\": ";
        size_t at = j.find(k);
        if (at == std::string::npos)
            return "";
        at += k.size();
        std::string v = j.substr(at, j.find('\n', at) - at);
        if (!v.empty() && v.back() == ',')
            v.pop_back();
        return v;
    }
};

// The flasher's stack on a real port.
struct host {
    port_handle port = nullptr;
    plm_t *stack = plm_new();
    layer_t *prog = lprog_new(), *pkt = lpkt_new(), *link = layer_new();
    mlb_t *buf = mlb_new(10000);

    host()
    {
        lprog_init(prog);
        lpkt_init(pkt);
        lprog_set_hook(prog, [](void *, const lprog_progress *, const char *) {}, nullptr);
        plm_insert(stack, prog, PLM_TOP, nullptr);
        plm_insert(stack, pkt, PLM_BELOW, prog);
        plm_insert(stack, link, PLM_BELOW, pkt);
        lpkt_set_peer_tag(pkt, 0);
    }
    ~host()
    {
        if (port)
            port_close(port);
        plm_free(stack);
        lprog_free(prog);
        lpkt_free(pkt);
        layer_free(link);
        mlb_free(buf);
    }
    bool open(const std::string &tty)
    {
        if (port)
            port_close(port);
        port = port_open(tty.c_str());
        if (!port)
            return false;
        ser_configure(port, 115200, 120000);
        ser_attach(link, port);
        return true;
    }
    // Steps until done or `limit` steps; true when RESET was acknowledged.
    bool run(int limit)
    {
        for (int i = 0; i < limit && !lprog_done(prog); ++i) {
            mlb_reset(buf, 0, 12);
            plm_tx(stack, buf);
            plm_rx(stack, buf);
        }
        return lprog_done(prog);
    }
};

TEST(DevsimPty, FullRunMatchesTheImageAcrossAReopen)
{
    auto img = image();
    ASSERT_EQ(img.size(), 60800u);
    sim s({"--baud", "0", "--erase-ms", "50", "--expect", ZMK_IMAGE_FILE, "--max-seconds", "60"});
    ASSERT_FALSE(s.tty.empty());
    host h;
    ASSERT_TRUE(h.open(s.tty));
    lprog_start(h.prog, img.data(), uint32_t(img.size()), 0, 256);
    EXPECT_FALSE(h.run(100));
    ASSERT_TRUE(h.open(s.tty));  // the host lets go of the port and comes back
    EXPECT_TRUE(h.run(2000));
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
    sim s({"--baud", "0", "--erase-ms", "50", "--expect", ZMK_IMAGE_FILE, "--max-seconds", "60",
           "--mode", "tagged", "--tag", "5", "--switch-at", "150", "--drop-at", "10,20",
           "--corrupt-at", "30", "--nak-at", "40", "--garbage-at", "50,51", "--delay-at", "60",
           "--stall-at", "70", "--garbage", "0.05", "--seed", "3"});
    host h;
    ASSERT_TRUE(h.open(s.tty));
    lprog_start(h.prog, img.data(), uint32_t(img.size()), 0, 256);
    EXPECT_TRUE(h.run(4000));
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

TEST(DevsimPty, PacedRunTakesItsWireTime)
{
    std::vector<uint8_t> img(2048, 0x5A);
    sim s({"--baud", "115200", "--erase-ms", "20", "--max-seconds", "20"});
    host h;
    ASSERT_TRUE(h.open(s.tty));
    lprog_start(h.prog, img.data(), uint32_t(img.size()), 0, 256);
    auto t0 = clock_type::now();
    EXPECT_TRUE(h.run(500));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count();
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
    put_le32(erase + 16, crc32_block(erase, 16) ^ 0x80u);  // one bad bit in the CRC
    ser_write_frame(p, erase, 20);
    usleep(50'000);
    put_le32(erase + 16, crc32_block(erase, 16));
    ser_write_frame(p, erase, 20);
    usleep(50'000);
    uint8_t chunk[16 + 256 + 4] = {'P', 'R', 'O', 'G', 'R', 'A', 'M', 0, 0, 1, 0, 0, 0, 2};
    put_le32(chunk + 272, crc32_block(chunk, 272));  // the second chunk, before the first
    ser_write_frame(p, chunk, 276);
    EXPECT_EQ(s.wait(), 1);
    port_close(p);
    std::string v = s.field("violations");
    EXPECT_NE(v.find("bad CRC"), std::string::npos) << v;
    EXPECT_NE(v.find("before the erase poll"), std::string::npos) << v;
    EXPECT_EQ(s.field("ended_with_reset"), "false");
    EXPECT_EQ(s.field("end"), "\"timeout\"");
}

}  // namespace
