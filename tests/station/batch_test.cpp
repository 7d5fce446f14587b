// zmk-cli with several ports: a child process per device, each against a
// simulator of its own; the exit status, the PASS/FAIL lines and the records.
#include "tests/station/line_support.h"

#include <algorithm>
#include <csignal>

namespace {

const std::vector<std::string> paced = {"--baud", "115200", "--expect", ZMK_IMAGE_FILE};
const std::vector<std::string> quick = {"--baud", "0",        "--erase-ms",
                                        "100",    "--expect", ZMK_IMAGE_FILE};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

// The devices of a batch are programmed at once, each record true to its
// device.
TEST(Batch, EightDevicesAtOnceNotOneAfterAnother)
{
    device_sims one;
    ASSERT_TRUE(one.start(paced));
    const std::string single_log = one.dir + "/single.jsonl";
    run_result r = run_program({ZMK_CLI, "--quiet", "--log", single_log, one.sims[0].pty}, one.dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const json alone = one.report(0);
    const std::vector<json> single = read_records(single_log);
    ASSERT_EQ(single.size(), 1u);

    device_sims eight;
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(eight.start(paced));
    const std::string log = eight.dir + "/gang.jsonl";
    r = run_program(with({ZMK_CLI, "--log", log}, eight.ptys()), eight.dir);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<json> records = read_records(log);
    EXPECT_EQ(records.size(), 8u);
    double slowest_s = 0, slowest_line_ms = 0;
    for (size_t i = 0; i < eight.sims.size(); ++i) {
        const std::string &pty = eight.sims[i].pty;
        const json rep = eight.report(i), rec = record_of(records, pty);
        EXPECT_TRUE(rep.value("ok", false)) << rep.dump();
        EXPECT_EQ(rep["commands"]["ERASE"], 1) << pty;
        EXPECT_TRUE(has(r.out, "PASS " + pty + "  ")) << r.out;
        ASSERT_TRUE(rec.is_object()) << pty;
        EXPECT_EQ(rec["result"], "ok");
        EXPECT_EQ(rec["exit"], 0);
        EXPECT_EQ(rec["image"]["size"], 60800);
        EXPECT_EQ(rec["image"]["crc32"], rep["crc32"]);
        EXPECT_EQ(rec["exchanges"], rep["exchanges"]) << pty;
        // Commands sent again because an ACK was lost; erase polls are none.
        EXPECT_EQ(rec["repeats"], rep["repeats"]) << pty << ": " << rec.dump();
        // No adapter holds the replies: they start as the command has crossed.
        EXPECT_LT(rec.value("reply_ms", 99.0), 2) << pty << ": " << rec.dump();
        slowest_s = std::max(slowest_s, rec.value("seconds", 0.0));
        slowest_line_ms = std::max(slowest_line_ms, rep.value("line_ms", 0.0));
    }
    const double single_s = single[0].value("seconds", 0.0);
    const double single_line_ms = alone.value("line_ms", 0.0);
    std::printf("alone: %.2f s (line %.0f ms); slowest of 8: %.2f s (line %.0f ms), %.3f\n",
                single_s, single_line_ms, slowest_s, slowest_line_ms, slowest_s / single_s);
    // At once, not in turn: eight in turn would take eight times as long.
    // How close to one alone they come is the benchmark's to show.
    EXPECT_LT(slowest_s, 2 * single_s);
    EXPECT_LT(slowest_line_ms, 2 * single_line_ms);
}

// A silent device fails alone, a port another program holds is left
// untouched and not counted, and the most serious status wins: 3 (a device
// failed) before 1 (a port that will not open).
TEST(Batch, FailingDevicesGiveTheMostSeriousStatusAndTheirRecords)
{
    device_sims sims;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(sims.start(i == 2 ? with(quick, {"--silent-after", "40"}) : quick));
    const pid_t holder = sim_spawn({"cat", sims.sims[4].pty}, "/dev/null", "/dev/null");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string missing = sims.dir + "/no-such-port", log = sims.dir + "/log.jsonl";
    run_result r = run_program(
        with({ZMK_CLI, "--timeout", "2", "--log", log, missing}, sims.ptys()), sims.dir);
    kill(holder, SIGTERM);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    std::vector<json> records = read_records(log);
    EXPECT_EQ(records.size(), 6u);
    for (size_t i = 0; i < 4; ++i) {
        const std::string &pty = sims.sims[i].pty;
        const json rec = record_of(records, pty);
        EXPECT_EQ(rec.value("result", ""), i == 2 ? "silent" : "ok") << pty;
        EXPECT_EQ(rec.value("exit", -1), i == 2 ? 3 : 0) << pty;
        EXPECT_TRUE(has(r.out, (i == 2 ? "FAIL " : "PASS ") + pty + "  ")) << r.out;
        if (i != 2) {
            EXPECT_TRUE(sims.report(i).value("ok", false)) << pty;
        }
    }
    EXPECT_TRUE(has(r.out, "; check the device and its cable, then program it again\n")) << r.out;
    EXPECT_TRUE(has(r.out, "FAIL " + missing + "  cannot open")) << r.out;
    EXPECT_EQ(record_of(records, missing).value("exit", -1), 1);
    EXPECT_TRUE(has(r.out, "BUSY " + sims.sims[4].pty + "  " + sims.sims[4].pty +
                               " is in use by another program: pid " + std::to_string(holder)))
        << r.out;
    EXPECT_EQ(sims.report(4, 0)["exchanges"], 0);
    EXPECT_TRUE(r.out.ends_with("\n5 programmed: 3 ok, 2 failed, yield 60.0 %; 1 not "
                                "programmed: in use by another program\n"))
        << r.out;

    ASSERT_TRUE(sims.start(quick));
    r = run_program({ZMK_CLI, "--log", log, sims.sims.back().pty, missing}, sims.dir);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(read_records(log).size(), 8u);
}

// Ctrl-C starts no new runs, says so, and lets the running one finish; a
// second one, SIGTERM or SIGHUP stops the running ones at their next step,
// recorded as interrupted.
TEST(Batch, CtrlCStartsNoNewRunsAndASecondOrSigtermStopsTheRunningOnes)
{
    device_sims sims;
    ASSERT_TRUE(sims.start(quick));
    ASSERT_TRUE(sims.start(quick));
    const std::string log = sims.dir + "/log.jsonl", out = sims.dir + "/gang.out";
    pid_t pid = sim_spawn(with({ZMK_CLI, "--jobs", "1", "--log", log}, sims.ptys()), out, out);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(pid, SIGINT);
    EXPECT_EQ(wait_exit(pid, 10000), 130) << "the second device was never programmed";
    EXPECT_TRUE(sims.report(0).value("ok", false));
    EXPECT_EQ(sims.report(1, 0)["exchanges"], 0);
    // The port never started is told and recorded too.
    const std::vector<json> first = read_records(log);
    ASSERT_EQ(first.size(), 2u) << sim_slurp(out);
    EXPECT_EQ(record_of(first, sims.sims[1].pty).value("result", ""), "interrupted");
    const std::string said = sim_slurp(out);
    EXPECT_TRUE(has(said, "zmk-cli: stopping: 1 running device finishes; no new device is "
                          "started; Ctrl-C again ends the running ones\n"))
        << said;
    EXPECT_TRUE(has(said, "FAIL " + sims.sims[1].pty + "  not started")) << said;
    EXPECT_TRUE(said.ends_with("1 programmed: 1 ok, 0 failed, yield 100.0 %; 1 not started\n"))
        << said;

    for (const std::vector<int> &signals :
         {std::vector<int>{SIGINT, SIGINT}, {SIGTERM}, {SIGHUP}}) {
        device_sims running;
        ASSERT_TRUE(running.start(paced));
        ASSERT_TRUE(running.start(paced));
        const std::string log2 = running.dir + "/log.jsonl";
        pid = sim_spawn(with({ZMK_CLI, "--log", log2}, running.ptys()), out, out);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        for (int sig : signals) {
            kill(pid, sig);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        EXPECT_EQ(wait_exit(pid, 3000), 128 + signals.back());
        const std::vector<json> records = read_records(log2);
        ASSERT_EQ(records.size(), 2u);
        for (const std::string &pty : running.ptys()) {
            const json rec = record_of(records, pty);
            EXPECT_EQ(rec.value("result", ""), "interrupted") << pty;
            EXPECT_TRUE(has(rec.value("message", ""), "interrupted while waiting on ")) << rec;
            EXPECT_TRUE(has(sim_slurp(out), "FAIL " + pty + "  interrupted")) << sim_slurp(out);
        }
    }
}

// Two processes append to one log at once, and runs are killed mid-way:
// every line of the file stays one whole record.
TEST(Records, StayWholeLinesUnderConcurrentWritersAndKilledRuns)
{
    device_sims sims;
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(sims.start(i < 4 ? quick : paced));
    const std::string log = sims.dir + "/log.jsonl", out = sims.dir + "/out";
    const std::vector<std::string> ptys = sims.ptys();
    const pid_t a = sim_spawn({ZMK_CLI, "--log", log, ptys[0], ptys[1]}, out + "a", out + "a");
    const pid_t b = sim_spawn({ZMK_CLI, "--log", log, ptys[2], ptys[3]}, out + "b", out + "b");
    EXPECT_EQ(wait_exit(a, 20000), 0) << sim_slurp(out + "a");
    EXPECT_EQ(wait_exit(b, 20000), 0) << sim_slurp(out + "b");
    EXPECT_EQ(read_records(log).size(), 4u);

    // A child killed: its device is recorded as crashed. Then the parent:
    // its other child must not go on programming without a record.
    const pid_t c = sim_spawn({ZMK_CLI, "--log", log, ptys[4], ptys[5]}, out + "c", out + "c");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::vector<pid_t> children = children_of(c);
    ASSERT_EQ(children.size(), 2u);
    kill(children[0], SIGKILL);
    for (int i = 0; i < 100 && read_records(log).size() < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(c, SIGKILL);
    EXPECT_EQ(wait_exit(c, 2000), 128 + SIGKILL);
    const std::vector<json> records = read_records(log);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records.back()["result"], "crashed") << records.back().dump();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_FALSE(alive(children[1])) << "a child outlived its parent";
}
