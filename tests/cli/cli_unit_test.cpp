// zmk-cli's option rules and its watch over acknowledgements (in process, so
// they run under Wine too).
#include "app/cli/cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int parse(std::vector<std::string> args, cli_options *opt)
{
    args.insert(args.begin(), "zmk-cli");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    return cli_parse(int(argv.size()), argv.data(), opt);
}

} // namespace

TEST(CliOptions, UsageErrorsExitTwoAndGoodLinesRun)
{
    cli_options o;
    EXPECT_EQ(parse({}, &o), CLI_EXIT_USAGE); // no port
    EXPECT_EQ(parse({"--timeout", "-1", "p"}, &(o = {})), CLI_EXIT_USAGE);
    EXPECT_EQ(parse({"--timeout", "soon", "p"}, &(o = {})), CLI_EXIT_USAGE);
    EXPECT_EQ(parse({"--frobnicate", "p"}, &(o = {})), CLI_EXIT_USAGE);
    EXPECT_EQ(parse({"p", "q"}, &(o = {})), CLI_EXIT_USAGE);
    EXPECT_EQ(parse({"--help"}, &(o = {})), CLI_EXIT_DONE);

    o = {};
    ASSERT_EQ(parse({"--list"}, &o), -1);
    EXPECT_TRUE(o.list);

    o = {};
    ASSERT_EQ(parse({"COM3"}, &o), -1);
    EXPECT_EQ(o.port, "COM3");
    EXPECT_EQ(o.timeout_s, 30);

    o = {};
    ASSERT_EQ(parse({"--timeout", "0", "--image", "fw.bin", "-q", "/dev/ttyUSB0"}, &o), -1);
    EXPECT_EQ(o.timeout_s, 0);
    EXPECT_EQ(o.image, "fw.bin");
    EXPECT_TRUE(o.quiet);
}

TEST(CliWatch, OnlyAChangedCommandCountsAsAcknowledged)
{
    cli_watch w;
    cli_watch_init(&w, 1000);
    lprog_progress p{LPROG_ERASE, 0, 0, 60800};
    EXPECT_EQ(cli_watch_update(&w, &p, 1010), 0); // first command
    EXPECT_EQ(cli_watch_update(&w, &p, 1200), 0); // ERASE again: no answer
    EXPECT_EQ(w.last_ack_ms, 1000u);
    p = {LPROG_WAIT_ERASE, 0, 0, 60800};
    EXPECT_EQ(cli_watch_update(&w, &p, 1300), 1);
    p = {LPROG_PROGRAM, 0, 0, 60800};
    EXPECT_EQ(cli_watch_update(&w, &p, 1400), 1);
    p = {LPROG_PROGRAM, 0x100, 256, 60800};
    EXPECT_EQ(cli_watch_update(&w, &p, 1500), 1);
    EXPECT_EQ(w.last_ack_ms, 1500u);
    // The clock is set with the same record each try.
    p = {LPROG_SET_CLOCK, 0, 60800, 60800};
    EXPECT_EQ(cli_watch_update(&w, &p, 1600), 1);
    EXPECT_EQ(cli_watch_update(&w, &p, 1700), 0);
}

TEST(CliWatch, LiveLineShowsPercentRateAndTimeLeft)
{
    cli_watch w;
    cli_watch_init(&w, 0);
    lprog_progress p{LPROG_PROGRAM, 0, 0, 60800};
    cli_watch_update(&w, &p, 0);
    p = {LPROG_PROGRAM, 30400, 30400, 60800};
    cli_watch_update(&w, &p, 3040); // 10 kB/s
    char line[160];
    cli_format_live(&w, 3040, line, sizeof line);
    std::string s = line;
    EXPECT_NE(s.find("Programming"), std::string::npos) << s;
    EXPECT_NE(s.find(" 50%"), std::string::npos) << s;
    EXPECT_NE(s.find("30400/60800 bytes"), std::string::npos) << s;
    EXPECT_NE(s.find("10.0 kB/s"), std::string::npos) << s;
    EXPECT_NE(s.find("0:03 left"), std::string::npos) << s;

    // Before any byte is written there is no rate to divide by.
    cli_watch_init(&w, 0);
    p = {LPROG_ERASE, 0, 0, 60800};
    cli_watch_update(&w, &p, 5);
    cli_format_live(&w, 5, line, sizeof line);
    EXPECT_NE(std::string(line).find("  0%"), std::string::npos) << line;
}
