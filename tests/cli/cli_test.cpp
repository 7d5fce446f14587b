// zmk-cli end to end against zmk-devsim on a pseudo-terminal.
#include "tests/support/sim.h"

#include <gtest/gtest.h>

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

// One precise line for a port that will not open, never the dialog's box.
TEST_F(Cli, PortThatWillNotOpenExitsOneWithTheReason)
{
    run_result r = run_program({ZMK_CLI, "/dev/zmk-no-such-port"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "cannot open /dev/zmk-no-such-port: no such port")) << r.err;
    EXPECT_FALSE(has(r.err, "Unable to open serial port")) << r.err;

    // Another program holding the port is named, and the device is untouched.
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0"}));
    const pid_t holder = sim_spawn({"cat", sim.pty}, dir + "/cat.out", dir + "/cat.err");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t0 = std::chrono::steady_clock::now();
    r = run_program({ZMK_CLI, "--log", dir + "/log.jsonl", sim.pty}, dir);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    kill(holder, SIGTERM);
    waitpid(holder, nullptr, 0);
    std::printf("in use: exit %d after %.3f s: %s", r.status, s, r.err.c_str());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, sim.pty + " is in use by another program: pid " +
                               std::to_string(holder) + " (cat)"))
        << r.err;
    EXPECT_LT(s, 1.0);
    EXPECT_TRUE(has(sim_slurp(dir + "/log.jsonl"), "\"result\":\"in-use\""));
    EXPECT_EQ(json_number(sim_finish(&sim, 0), "exchanges"), 0);

    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "permission denied needs root (to drop to nobody) and setpriv";
    // nobody may not open root's pty; the binary goes where nobody can run it.
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0"}));
    std::string cli = dir + "/zmk-cli";
    ASSERT_EQ(run_program({"cp", ZMK_CLI, cli}, dir).status, 0);
    chmod(dir.c_str(), 0755);
    const std::vector<std::string> as_nobody{
        "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", cli, sim.pty};
    // The advice follows the node: its group may open it, so join the group.
    ASSERT_EQ(run_program({"chgrp", "dialout", sim.pty}, dir).status, 0);
    chmod(sim.pty.c_str(), 0660);
    r = run_program(as_nobody, dir);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(has(r.err, "usermod -aG dialout")) << r.err;
}

// A record that cannot be kept is found out before the device is touched, or
// the run is no pass: exit 4, and the log never ends in half a record.
TEST_F(Cli, NoPassWithoutItsRecord)
{
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "0"}));
    run_result r = run_program({ZMK_CLI, "--log", dir + "/missing/log.jsonl", sim.pty}, dir);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(has(r.err, "cannot open the log " + dir + "/missing/log.jsonl")) << r.err;
    EXPECT_EQ(json_number(sim_finish(&sim, 0), "exchanges"), 0);

    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "0"}));
    r = run_program({ZMK_CLI, "-q", "--log", "/dev/full", sim.pty}, dir);
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_TRUE(has(r.err, "was programmed, but its record was not kept: cannot write /dev/full"))
        << r.err;
    sim_finish(&sim);

    // A file system that takes only part of the record: none of it stays.
    const std::string log = dir + "/log.jsonl", before = std::string(100, 'x') + "\n";
    std::ofstream(log) << before;
    ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "0"}));
    r = run_program({"prlimit", "--fsize=150", ZMK_CLI, "-q", "--log", log, sim.pty}, dir);
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_EQ(sim_slurp(log), before);
}

// SIGINT, SIGTERM and SIGHUP end a run between two steps: the port's own
// settings back, the record says where it stopped, the usual status.
TEST_F(Cli, ASignalEndsTheRunInAStatedCondition)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "115200"}));
        ASSERT_EQ(run_program({"stty", "-F", sim.pty, "9600", "cooked"}, dir).status, 0);
        const std::string settings = run_program({"stty", "-F", sim.pty, "-g"}, dir).out;
        const std::string log = dir + "/log" + std::to_string(sig);
        const pid_t pid = sim_spawn({ZMK_CLI, "--log", log, sim.pty}, dir + "/out", dir + "/err");
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_NE(run_program({"stty", "-F", sim.pty, "-g"}, dir).out, settings);
        const auto t0 = std::chrono::steady_clock::now();
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const std::string err = sim_slurp(dir + "/err");
        std::printf("signal %d: exit %d after %.3f s: %s", sig, WEXITSTATUS(status), s,
                    err.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + sig) << status;
        EXPECT_LT(s, 1.5);
        EXPECT_TRUE(has(err, "interrupted while waiting on PROGRAM at 0x")) << err;
        EXPECT_TRUE(has(err, "partly programmed and will not start; program it again")) << err;
        const std::string record = sim_slurp(log);
        EXPECT_TRUE(has(record, "\"result\":\"interrupted\",\"exit\":" + std::to_string(128 + sig)))
            << record;
        EXPECT_EQ(run_program({"stty", "-F", sim.pty, "-g"}, dir).out, settings);
        sim_finish(&sim, 0);
    }
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

namespace {

// Runs zmk-cli with a pseudo-terminal as its standard output, as a person
// watching it would; returns everything it drew there.
std::string run_on_terminal(const std::vector<std::string> &args, const std::string &dir)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return "";
    const std::string slave = ptsname(master);
    std::string seen;
    std::thread reader([&] {
        char chunk[4096];
        for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;)
            seen.append(chunk, size_t(n));
    });
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(slave.c_str(), O_RDWR | O_NOCTTY), 1);
        dup2(open((dir + "/err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        sim_exec(args);
    }
    waitpid(pid, nullptr, 0);
    close(master); // ends the reader
    reader.join();
    return seen;
}

} // namespace

// A device that stops acknowledging looks stuck on the live line, not slow.
TEST_F(Cli, TheLiveLineTellsAStuckDevice)
{
    for (const char *fault : {"--silent-after", "--refuse-after"}) {
        ASSERT_TRUE(sim_start(&sim, dir, {"--baud", "0", "--erase-ms", "0", fault, "40"}));
        const std::string seen = run_on_terminal({ZMK_CLI, "--timeout", "4", sim.pty}, dir);
        const std::string said = std::string(fault) == "--silent-after"
                                     ? "no answer for 3 s, waiting on PROGRAM at 0x"
                                     : " to PROGRAM at 0x";
        EXPECT_TRUE(has(seen, said)) << seen;
        EXPECT_TRUE(has(seen, "(gives up at 4 s)")) << seen;
        sim_finish(&sim, 0);
    }
}
