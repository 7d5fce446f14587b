// zmk-cli end to end against zmk-devsim on a pseudo-terminal.
#include "tests/support/sim.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>

namespace {

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

struct line_fault_case {
    std::vector<std::string> sim_args;
    const char *says;
};

// Every fault a real line produces ends the run with status 3 soon after
// --timeout, says which it was, and costs next to no CPU meanwhile.
TEST_F(Cli, LineFaultsEndWithExitThreeInTimeSayingWhy)
{
    const line_fault_case cases[] = {
        {{"--silent-after", "40"}, "stopped answering: nothing acknowledged for"},
        {{"--chatter-after", "40"}, "stopped answering"}, // logging, or a wrong baud rate
        {{"--trickle-after", "40"}, "stopped answering"}, // bytes that never end a frame
        {{"--deaf-after", "40"}, "stopped answering"},    // writes find the line full
        {{"--refuse-after", "40"}, "the device refuses PROGRAM at 0x"},
    };
    constexpr double timeout_s = 2;
    for (const line_fault_case &c : cases) {
        std::vector<std::string> args{"--baud", "115200"};
        args.insert(args.end(), c.sim_args.begin(), c.sim_args.end());
        ASSERT_TRUE(sim_start(&sim, dir, args));
        auto t0 = std::chrono::steady_clock::now();
        pid_t pid = sim_spawn({ZMK_CLI, "--quiet", "--timeout", "2", sim.pty}, dir + "/out.txt",
                              dir + "/err.txt");
        int status = 0;
        rusage ru{};
        ASSERT_EQ(wait4(pid, &status, 0, &ru), pid);
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::string err = sim_slurp(dir + "/err.txt");
        std::string rep = sim_finish(&sim, 0);
        // The fault starts after frame 40, about 1.2 s in.
        double fault_s = std::atof(json_value(rep, "started_ms").c_str()) / 1000.0;
        std::printf("%-16s exit %d, %.2f s after the fault, %.3f s CPU: %s", c.sim_args[0].c_str(),
                    WEXITSTATUS(status), wall - fault_s, sim_cpu_seconds(ru), err.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << c.sim_args[0] << err;
        EXPECT_TRUE(has(err, c.says)) << err;
        EXPECT_LT(wall, 1.4 + timeout_s + 1.2 + 0.5) << c.sim_args[0];
        EXPECT_LT(sim_cpu_seconds(ru), 0.2 * wall) << c.sim_args[0];
    }
}

// An erase that runs longer than --timeout, answered "not yet" all along,
// is waited for with the default options.
TEST_F(Cli, LongEraseAnsweredNotYetCompletesWithTheDefaults)
{
    ASSERT_TRUE(
        sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "31000", "--expect", ZMK_IMAGE_FILE}));
    run_result r = run_program({ZMK_CLI, "--quiet", sim.pty}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_value(sim_finish(&sim), "flash_matches"), "true");
}

// Whatever else is named as the port is refused at once and left as it was.
TEST_F(Cli, NamesThatAreNoPortExitOneAtOnceUntouched)
{
    const std::string file = dir + "/notes.txt", fifo = dir + "/fifo";
    std::ofstream(file) << "meeting notes\n";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &name : {file, std::string("/dev/null"), dir, fifo}) {
        auto t0 = std::chrono::steady_clock::now();
        run_result r = run_program({ZMK_CLI, name}, dir);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(r.status, 1) << name << r.err;
        EXPECT_TRUE(has(r.err, "not a serial port")) << r.err;
        EXPECT_LT(s, 1.0) << name;
    }
    EXPECT_EQ(sim_slurp(file), "meeting notes\n");
}
