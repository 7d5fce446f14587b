// zmk-cli's options and its watch over acknowledgements, in process (so they
// run under Wine too).
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
    *opt = {};
    return cli_parse(int(argv.size()), argv.data(), opt);
}

} // namespace

TEST(CliOptions, BadUsageExitsTwo)
{
    cli_options o;
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {}, {"--timeout", "-1", "p"}, {"--timeout", "soon", "p"}, {"--frob", "p"}, {"p", "q"}})
        EXPECT_EQ(parse(bad, &o), CLI_EXIT_USAGE) << bad.size();
    EXPECT_EQ(parse({"--help"}, &o), CLI_EXIT_DONE);
    ASSERT_EQ(parse({"--list"}, &o), -1);
    EXPECT_TRUE(o.list);
    // A device path is a port, on Windows too.
    ASSERT_EQ(parse({"--timeout", "0", "--image", "fw.bin", "-q", "/dev/ttyUSB0"}, &o), -1);
    EXPECT_EQ(o.port, "/dev/ttyUSB0");
    EXPECT_EQ(o.timeout_s, 0);
    ASSERT_EQ(parse({"COM3"}, &o), -1);
    EXPECT_EQ(o.timeout_s, 30);
}

TEST(CliWatch, RepeatsAreNoAcknowledgementAndTheLiveLineAddsUp)
{
    cli_watch w;
    cli_watch_init(&w, 0);
    lprog_progress p{LPROG_PROGRAM, 0, 0, 60800};
    EXPECT_EQ(cli_watch_update(&w, &p, 0), 0);
    EXPECT_EQ(cli_watch_update(&w, &p, 200), 0); // the same chunk again: no answer
    p = {LPROG_PROGRAM, 30400, 30400, 60800};
    EXPECT_EQ(cli_watch_update(&w, &p, 3040), 1);
    EXPECT_EQ(w.last_ack_ms, 3040u);
    char line[160];
    cli_format_live(&w, 3040, line, sizeof line);
    for (const char *part : {"Programming", " 50%", "30400/60800 bytes", "10.0 kB/s", "0:03 left"})
        EXPECT_NE(std::string(line).find(part), std::string::npos) << line;
}
