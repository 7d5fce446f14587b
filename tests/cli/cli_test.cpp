// zmk-cli end to end against zmk-devsim on a pseudo-terminal.
#include "tests/cli/sim.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>

namespace {

bool has(const std::string &s, const char *part) { return s.find(part) != std::string::npos; }

class Cli : public ::testing::Test {
protected:
    std::string dir = sim_tempdir();
    sim_proc sim;
    void TearDown() override { sim_finish(&sim, 0); }
};

} // namespace

TEST_F(Cli, FlashesTheEmbeddedImageWithTheDialogsConsoleLines)
{
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "50", "--expect", ZMK_IMAGE_FILE}));
    run_result r = run_program({ZMK_CLI, sim.pty}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, (" . Opening serial port " + sim.pty + " at 115200 baud\n").c_str()))
        << r.out;
    EXPECT_TRUE(has(r.out, "\nFlash Image Size ed80\n"));
    EXPECT_TRUE(has(r.out, "Erasing..."));
    EXPECT_TRUE(has(r.out, "\rProgramming    0\r"));
    EXPECT_TRUE(has(r.out, "\rProgramming ed00\r"));
    EXPECT_TRUE(has(r.out, "\nRESET\n"));
    EXPECT_FALSE(has(r.out, "kB/s")) << "no live line into a file";
    std::string report = sim_finish(&sim);
    EXPECT_EQ(json_value(report, "ok"), "true") << report;
    EXPECT_EQ(json_value(report, "flash_matches"), "true") << report;
}

TEST_F(Cli, FlashesAnImageFileAndRefusesAnUnreadableOne)
{
    std::string image = dir + "/fw.bin";
    {
        std::ofstream f(image, std::ios::binary);
        for (int i = 0; i < 1000; ++i)
            f.put(char(i * 7 + 3));
    }
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "0", "--expect", image}));
    run_result r = run_program({ZMK_CLI, "--quiet", "--image", image, sim.pty}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::string report = sim_finish(&sim);
    EXPECT_EQ(json_value(report, "flash_matches"), "true") << report;

    r = run_program({ZMK_CLI, "--image", dir + "/missing.bin", "/dev/null"}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.err, "missing.bin")) << r.err;
    std::ofstream(dir + "/empty.bin").close();
    r = run_program({ZMK_CLI, "--image", dir + "/empty.bin", "/dev/null"}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.err, "empty")) << r.err;
}

TEST_F(Cli, ListsOnlyRealPortsSortedByPath)
{
    run_result r = run_program({ZMK_CLI, "--list"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line, previous;
    while (std::getline(lines, line)) {
        std::string path = line.substr(0, line.find('\t'));
        EXPECT_EQ(path.rfind("/dev/", 0), 0u) << line;
        EXPECT_LT(previous, path);
        // An 8250 slot without a UART reports type 0 and must not be listed.
        std::string name = path.substr(5);
        std::string type = sim_slurp("/sys/class/tty/" + name + "/type");
        if (!type.empty()) {
            EXPECT_NE(std::atoi(type.c_str()), 0) << path;
        }
        EXPECT_EQ(name.rfind("pts", 0), std::string::npos) << "a pty is no serial port";
        previous = path;
    }
}

TEST_F(Cli, PortThatWillNotOpenExitsOneWithTheReason)
{
    run_result r = run_program({ZMK_CLI, "/dev/zmk-no-such-port"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "Unable to open serial port")) << r.err;
    EXPECT_TRUE(has(r.err, "no such port")) << r.err;

    // Another run holds the port.
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "0"}));
    int fd = open(sim.pty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    r = run_program({ZMK_CLI, sim.pty}, dir);
    close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "in use")) << r.err;
}

TEST_F(Cli, PermissionDeniedNamesTheDialoutGroup)
{
    if (geteuid() != 0 && access("/dev/ttyS0", R_OK | W_OK) != 0)
        GTEST_SKIP() << "needs root to drop to nobody";
    if (access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "setpriv (util-linux) missing";
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0"}));
    // The pty belongs to root; nobody may not open it. The binary is copied
    // where nobody can run it.
    std::string cli = dir + "/zmk-cli";
    ASSERT_EQ(run_program({"cp", ZMK_CLI, cli}, dir).status, 0);
    chmod(dir.c_str(), 0755);
    chmod(sim.pty.c_str(), 0600);
    run_result r = run_program({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                cli, sim.pty},
                               dir);
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
