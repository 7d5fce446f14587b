// zmk-cli's options and its watch over acknowledgements, in process (so they
// run under Wine too).
#include "app/cli/child.h"
#include "app/cli/cli.h"
#include "app/cli/record.h"

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
             {"--jobs", "0", "p", "q"}})
        EXPECT_EQ(parse(bad, &o), RUN_EXIT_USAGE) << bad.size();
    EXPECT_EQ(parse({"--help"}, &o), RUN_EXIT_DONE);
    ASSERT_EQ(parse({"--list"}, &o), -1);
    EXPECT_TRUE(o.list);
    // A device path is a port, on Windows too.
    ASSERT_EQ(parse({"--timeout", "0", "--image", "fw.bin", "-q", "/dev/ttyUSB0"}, &o), -1);
    EXPECT_EQ(o.port, "/dev/ttyUSB0");
    EXPECT_EQ(o.timeout_s, 0);
    ASSERT_EQ(parse({"COM3"}, &o), -1);
    EXPECT_EQ(o.timeout_s, 30);
    ASSERT_EQ(parse({"--jobs", "2", "COM3", "COM4", "COM5"}, &o), -1);
    EXPECT_EQ(o.ports.size(), 3u);
    ASSERT_EQ(parse({"--station", "--match", "usb:0403:6001", "--match", "/dev/ttyACM*"}, &o), -1);
    EXPECT_EQ(o.match.size(), 2u);
}

namespace {

zmk_event sent(uint32_t command, uint32_t address, uint32_t done)
{
    return zmk_event{ZMK_SENT, command, address, done, 60800, ZMK_NONE, "", ZMK_GOING};
}

} // namespace

// The live line shows progress while the device acknowledges and the
// engine's words while it does not; erase polls are waiting, not repeats.
TEST(CliWatch, TheLiveLineAddsUpAndShowsWhatTheEngineSays)
{
    cli_watch w;
    cli_watch_init(&w, 0);
    zmk_event e = sent(LPROG_PROGRAM, 0, 0);
    cli_watch_event(&w, &e, 0);
    e = sent(LPROG_PROGRAM, 30400, 30400);
    cli_watch_event(&w, &e, 3040);
    char line[160];
    cli_format_live(&w, 3040, line, sizeof line);
    for (const char *part : {"Programming", " 50%", "30400/60800 bytes", "10.0 kB/s", "0:03 left"})
        EXPECT_NE(std::string(line).find(part), std::string::npos) << line;

    const char *says = "no answer for 7 s, waiting on PROGRAM at 0x76c0 (gives up at 30 s)";
    const zmk_event waiting{ZMK_WAITING, LPROG_PROGRAM, 0x76c0, 0,
                            0,           ZMK_NONE,      says,   ZMK_NO_ANSWER};
    cli_watch_event(&w, &waiting, 10100);
    cli_format_live(&w, 10100, line, sizeof line);
    EXPECT_STREQ(line, says);
    const zmk_event ack{ZMK_ANSWER, LPROG_PROGRAM, 0x76c0, 0, 0, ZMK_ACK, "", ZMK_GOING};
    cli_watch_event(&w, &ack, 10200);
    cli_format_live(&w, 10200, line, sizeof line);
    EXPECT_NE(std::string(line).find("Programming"), std::string::npos) << line;

    cli_watch_init(&w, 0);
    e = sent(LPROG_WAIT_ERASE, 0, 0);
    for (uint32_t ms = 0; ms <= 12000; ms += 500)
        cli_watch_event(&w, &e, ms);
    EXPECT_EQ(w.repeats, 0u);
    e = sent(LPROG_PROGRAM, 0, 0);
    cli_watch_event(&w, &e, 12500);
    cli_watch_event(&w, &e, 13000);
    EXPECT_EQ(w.repeats, 1u);
}

// What a child says reaches its parent as it was said, whatever text it holds.
TEST(CliChild, LinesRoundTrip)
{
    char line[512];
    child_line got{};
    const zmk_event sent{ZMK_SENT, LPROG_PROGRAM, 0x1900, 0x1900, 60800, ZMK_NONE, ""};
    child_format_event(&sent, line, sizeof line);
    line[std::strlen(line) - 1] = 0;
    ASSERT_EQ(child_parse(line, &got), CHILD_EVENT);
    EXPECT_EQ(got.event.address, 0x1900u);
    EXPECT_EQ(got.event.total, 60800u);

    const zmk_event other{ZMK_ANSWER, LPROG_PROGRAM, 0, 0, 0, ZMK_OTHER, "NAK\nx"};
    child_format_event(&other, line, sizeof line);
    line[std::strlen(line) - 1] = 0;
    ASSERT_EQ(child_parse(line, &got), CHILD_EVENT);
    EXPECT_EQ(got.event.answer, ZMK_OTHER);
    EXPECT_STREQ(got.event.text, "NAK x") << "a line end in a text would split the line";

    const char *says = "answers NAK to PROGRAM at 0x1900 (gives up at 30 s)";
    const zmk_event waiting{ZMK_WAITING, LPROG_PROGRAM, 0, 0, 0, ZMK_OTHER, says, ZMK_REFUSING};
    child_format_event(&waiting, line, sizeof line);
    line[std::strlen(line) - 1] = 0;
    ASSERT_EQ(child_parse(line, &got), CHILD_EVENT);
    EXPECT_EQ(got.event.kind, ZMK_WAITING);
    EXPECT_EQ(got.event.verdict, ZMK_REFUSING);
    EXPECT_STREQ(got.event.text, says);

    const child_end end{3, "refused", 250, 7,
                        "the device refuses PROGRAM at 0x1900: it answers NAK"};
    child_format_end(&end, line, sizeof line);
    line[std::strlen(line) - 1] = 0;
    ASSERT_EQ(child_parse(line, &got), CHILD_END);
    EXPECT_EQ(got.end.exit, 3);
    EXPECT_STREQ(got.end.result, "refused");
    EXPECT_EQ(got.end.repeats, 7u);
    EXPECT_STREQ(got.end.message, end.message);

    for (const char *noise : {"Assertion failed: t, file x, line 1", "@zmk sent 1 2", "@zmk end x",
                              "@zmk waiting 3 9 failed is not waiting"})
        EXPECT_EQ(child_parse(noise, &got), CHILD_NONE) << noise;
}

// A record is one line of JSON with every field, unknown USB fields as null.
TEST(CliRecord, OneLineWithEveryField)
{
    cli_record r{
        0,   "bench-3", "/dev/ttyUSB0", {}, "fw\"1\".bin", 60800, 0x1234abcd, "ok", 0, "", 8.866,
        265, 0};
    r.usb.vid = 0x0403;
    std::snprintf(r.usb.serial, sizeof r.usb.serial, "A5XK3\n");
    const std::string line = cli_record_json(r);
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    for (const char *part :
         {"{\"time\":\"1970-01-01T00:00:00Z\",\"host\":\"bench-3\",\"port\":\"/dev/ttyUSB0\"",
          "\"usb\":{\"vid\":\"0403\",\"pid\":null,\"serial\":\"A5XK3\\n\",\"location\":null,"
          "\"product\":null}",
          "\"image\":{\"name\":\"fw\\\"1\\\".bin\",\"size\":60800,\"crc32\":\"1234abcd\"}",
          "\"result\":\"ok\",\"exit\":0,\"message\":null,\"seconds\":8.87,\"exchanges\":265,"
          "\"repeats\":0",
          "\"tool\":\"zmk-cli "})
        EXPECT_NE(line.find(part), std::string::npos) << part << "\n" << line;
}
