// zmk-cli end to end against zmk-devsim on a pseudo-terminal.
#include "tests/cli/sim.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>

namespace {

bool has(const std::string &s, const std::string &part) { return s.find(part) != s.npos; }

class Cli : public ::testing::Test {
  protected:
    std::string dir = sim_tempdir();
    sim_proc sim;
    void TearDown() override { sim_finish(&sim, 0); }
};

} // namespace

TEST_F(Cli, FlashesTheEmbeddedImageOrAFileWithTheDialogsConsoleLines)
{
    ASSERT_TRUE(
        sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "50", "--expect", ZMK_IMAGE_FILE}));
    run_result r = run_program({ZMK_CLI, sim.pty}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *line : {"\nFlash Image Size ed80\n", "Erasing...", "\rProgramming    0\r",
                             "\rProgramming ed00\r", "\nRESET\n"})
        EXPECT_TRUE(has(r.out, line)) << line;
    EXPECT_TRUE(has(r.out, " . Opening serial port " + sim.pty + " at 115200 baud\n"));
    EXPECT_FALSE(has(r.out, "kB/s")) << "no live line into a file";
    EXPECT_EQ(json_value(sim_finish(&sim), "flash_matches"), "true");

    std::string image = dir + "/fw.bin";
    std::ofstream(image, std::ios::binary) << std::string(1000, '\x5a') << "end";
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "0", "--expect", image}));
    r = run_program({ZMK_CLI, "--quiet", "--image", image, sim.pty}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(json_value(sim_finish(&sim), "flash_matches"), "true");

    // Unreadable or empty images are bad usage.
    std::ofstream(dir + "/empty.bin").close();
    for (const char *bad : {"/missing.bin", "/empty.bin"}) {
        r = run_program({ZMK_CLI, "--image", dir + bad, "/dev/null"}, dir);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_TRUE(has(r.err, bad)) << r.err;
    }
}

TEST_F(Cli, ListsRealPortsOnlySortedByPath)
{
    run_result r = run_program({ZMK_CLI, "--list"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line, previous;
    while (std::getline(lines, line)) {
        std::string path = line.substr(0, line.find('\t'));
        EXPECT_EQ(path.rfind("/dev/tty", 0), 0u) << line;
        EXPECT_LT(previous, path);
        // An 8250 slot without a UART reports type 0.
        std::string type = sim_slurp("/sys/class/tty/" + path.substr(5) + "/type");
        EXPECT_TRUE(type.empty() || std::atoi(type.c_str()) != 0) << path;
        previous = path;
    }
}

TEST_F(Cli, PortThatWillNotOpenExitsOneWithTheReason)
{
    run_result r = run_program({ZMK_CLI, "/dev/zmk-no-such-port"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "Unable to open serial port")) << r.err;
    EXPECT_TRUE(has(r.err, "no such port")) << r.err;

    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0"}));
    int fd = open(sim.pty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0); // another run holds it
    r = run_program({ZMK_CLI, sim.pty}, dir);
    close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "in use")) << r.err;

    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "permission denied needs root (to drop to nobody) and setpriv";
    // nobody may not open root's pty; the binary goes where nobody can run it.
    std::string cli = dir + "/zmk-cli";
    ASSERT_EQ(run_program({"cp", ZMK_CLI, cli}, dir).status, 0);
    chmod(dir.c_str(), 0755);
    chmod(sim.pty.c_str(), 0600);
    r = run_program(
        {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", cli, sim.pty}, dir);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(has(r.err, "permission denied")) << r.err;
    EXPECT_TRUE(has(r.err, "dialout")) << r.err;
}

TEST_F(Cli, SilentDeviceEndsWithExitThreeNamingTheCommand)
{
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "0", "--silent-after", "4"}));
    auto t0 = std::chrono::steady_clock::now();
    run_result r = run_program({ZMK_CLI, "--timeout", "1", sim.pty}, dir);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_TRUE(has(r.err, "waiting on PROGRAM")) << r.err;
    EXPECT_GE(s, 1.0);
    EXPECT_LT(s, 3.0);
}
