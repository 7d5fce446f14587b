// The station: devices plugged in and out (simulators on links that come and
// go), each programmed once per appearance, until Ctrl-C.
#include "tests/line/line_support.h"

#include <algorithm>
#include <functional>
#include <poll.h>
#include <set>

namespace {

bool exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool wait_for(int ms, const std::function<bool()> &done)
{
    for (int waited = 0; waited <= ms; waited += 10) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

constexpr int quiet_ms = 200;

// A device plugged in at `link`: a quick simulator that ends (is unplugged)
// soon after its RESET.
bool plug(device_sims *sims, const std::string &link)
{
    return sims->start({"--baud", "0", "--erase-ms", "100", "--expect", ZMK_IMAGE_FILE,
                        "--quiet-ms", std::to_string(quiet_ms), "--max-seconds", "30", "--link",
                        link});
}

// From the link's appearance to the host's first byte, at most: the session
// ends `quiet_ms` (plus a poll) after the RESET reply that ends `line_ms`.
double noticed_ms(const json &report)
{
    return report.value("elapsed_ms", 0.0) - report.value("line_ms", 0.0) - quiet_ms;
}

} // namespace

// A device plugged in later, and its end: the link comes when asked, goes
// before the pty closes, and the host holding the port sees a hang-up.
TEST(Devsim, AppearsLateAndEndsLikeAnUnpluggedAdapter)
{
    const std::string dir = sim_tempdir(), link = dir + "/dut";
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = sim_spawn({ZMK_DEVSIM, "--quiet", "--appear-after-ms", "400", "--link", link,
                                 "--report", dir + "/report.json"},
                                dir + "/sim.out", dir + "/sim.err");
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_FALSE(exists(link));
    EXPECT_EQ(sim_slurp(dir + "/sim.out"), "") << "the path comes with the device";
    ASSERT_TRUE(wait_for(3000, [&] { return exists(link); }));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400));
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(exists(link));
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_TRUE(p.revents & POLLHUP) << p.revents;
    char c;
    const ssize_t got = read(fd, &c, 1);
    const int error = errno;
    EXPECT_TRUE(got == 0 || (got < 0 && error == EIO)) << got << " " << error;
    EXPECT_EQ(write(fd, "x", 1), -1) << "a hung-up tty takes no bytes";
    close(fd);

    // Plugged in again before the old session ended: the old one's end
    // leaves the new link alone.
    device_sims sims;
    ASSERT_TRUE(sims.start({"--link", link}));
    ASSERT_TRUE(sims.start({"--link", link}));
    const auto target = [&] {
        char path[64] = "";
        return readlink(link.c_str(), path, sizeof path - 1) > 0 ? std::string(path) : "";
    };
    ASSERT_TRUE(wait_for(1000, [&] { return target() == sims.sims[1].pty; }));
    sims.report(0, 0);
    EXPECT_EQ(target(), sims.sims[1].pty);
}

// One device, then two together, then the first again after it was
// unplugged: four runs, each device erased once, each noticed at once; then
// Ctrl-C ends the session with the count.
TEST(Station, ProgramsEachDeviceOncePerAppearanceUntilCtrlC)
{
    device_sims sims;
    const std::string &dir = sims.dir, log = dir + "/log.jsonl", out = dir + "/station.out";
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = sim_spawn({ZMK_CLI, "--station", "--match", dir + "/dut*", "--log", log}, out,
                                dir + "/station.err");
    ASSERT_TRUE(wait_for(5000, [&] { return has(sim_slurp(dir + "/station.err"), "waiting"); }));
    const std::vector<std::vector<std::string>> rounds = {{"dut1"}, {"dut2", "dut3"}, {"dut1"}};
    for (const auto &round : rounds) {
        const size_t first = sims.sims.size();
        for (const std::string &name : round)
            ASSERT_TRUE(plug(&sims, dir + "/" + name));
        for (size_t i = first; i < sims.sims.size(); ++i) {
            const json rep = sims.report(i, 15000);
            EXPECT_EQ(rep.value("end", ""), "reset") << rep.dump();
            EXPECT_TRUE(rep.value("ok", false)) << rep.dump();
            EXPECT_EQ(rep["commands"]["ERASE"], 1) << rep.dump();
            std::printf("device %zu noticed within %.0f ms\n", i + 1, noticed_ms(rep));
            EXPECT_LE(noticed_ms(rep), 500);
        }
        for (const std::string &name : round)
            EXPECT_FALSE(exists(dir + "/" + name)) << name << " was unplugged";
    }
    ASSERT_TRUE(wait_for(3000, [&] { return has(sim_slurp(out), "4 programmed"); }));
    kill(pid, SIGINT);
    int status = -1;
    ASSERT_TRUE(wait_for(3000, [&] { return waitpid(pid, &status, WNOHANG) == pid; }));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::string text = sim_slurp(out);
    std::printf("session of %.1f s:\n%s", took, text.c_str());
    EXPECT_TRUE(text.size() > 30 && text.ends_with("\n4 programmed: 4 ok, 0 failed\n")) << text;
    const std::vector<json> records = read_records(log);
    ASSERT_EQ(records.size(), 4u);
    const char *order[] = {"dut1", "dut2", "dut3", "dut1"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(records[i].value("result", ""), "ok");
        if (i != 1 && i != 2) { // the two together end in either order
            EXPECT_EQ(records[i].value("port", ""), dir + "/" + order[i]);
        }
    }
    EXPECT_EQ((std::set<std::string>{records[1].value("port", ""), records[2].value("port", "")}),
              (std::set<std::string>{dir + "/dut2", dir + "/dut3"}));
    // Three rounds of about 2.5 s each, with room for a busy machine.
    EXPECT_LT(took, 20.0);
}
