// zmk-cli's options, in process (so they run under Wine too).
#include "app/cli/cli.h"

#include <gtest/gtest.h>

#include <cstring>
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
             {},
             {"--timeout", "-1", "p"},
             {"--timeout", "soon", "p"},
             {"--frob", "p"},
             {"--station", "p"}, // the station finds its own ports
             {"--match", "/dev/ttyUSB*", "p"},
             {"--jobs", "0", "p", "q"},
             // What a job sets is the job's; its companions need a job.
             {"--job", "j.toml", "--timeout", "5", "p"},
             {"--job", "j.toml", "--slot", "1=/dev/ttyUSB0", "--ui", "8080", "p"},
             {"--job-key", "k.pub", "p"},
             {"--check"}})
        EXPECT_EQ(parse(bad, &o), RUN_EXIT_USAGE) << bad.size();
    EXPECT_EQ(parse({"--job", "/nonexistent/j.toml", "p"}, &o), RUN_EXIT_USAGE) << "read at once";
    EXPECT_EQ(parse({"--help"}, &o), RUN_EXIT_DONE);
    ASSERT_EQ(parse({"--list"}, &o), -1);
    EXPECT_TRUE(o.list);
    // A device path is a port, on Windows too.
    ASSERT_EQ(parse({"--timeout", "0", "--image", "fw.bin", "-q", "/dev/ttyUSB0"}, &o), -1);
    EXPECT_EQ(o.run.port, "/dev/ttyUSB0");
    EXPECT_EQ(o.run.timeout_s, 0);
    ASSERT_EQ(parse({"COM3"}, &o), -1);
    EXPECT_EQ(o.run.timeout_s, 30);
    ASSERT_EQ(parse({"--jobs", "2", "COM3", "COM4", "COM5"}, &o), -1);
    EXPECT_EQ(o.ports.size(), 3u);
    ASSERT_EQ(parse({"--station", "--match", "usb:0403:6001", "--match", "/dev/ttyACM*"}, &o), -1);
    EXPECT_EQ(o.match.size(), 2u);
}
