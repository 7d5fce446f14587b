// One device's run, in process (so it runs under Wine too): the watch over
// acknowledgements, the lines a child tells its parent, the words of an end,
// and the CRC-32 of what a device is sent.
#include "app/run/child.h"
#include "app/run/image.h"
#include "app/run/watch.h"
#include "framework/bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

zmk_event sent(uint32_t command, uint32_t address, uint32_t done)
{
    return zmk_event{ZMK_SENT, command, address, done, 60800, ZMK_NONE, "", ZMK_GOING};
}

} // namespace

// The live line shows progress while the device acknowledges and the
// engine's words while it does not; erase polls are waiting, not repeats.
TEST(RunWatch, TheLiveLineAddsUpAndShowsWhatTheEngineSays)
{
    run_watch w;
    run_watch_init(&w, 0);
    zmk_event e = sent(LPROG_PROGRAM, 0, 0);
    run_watch_event(&w, &e, 0);
    e = sent(LPROG_PROGRAM, 30400, 30400);
    run_watch_event(&w, &e, 3040);
    char line[160];
    run_format_live(&w, 3040, line, sizeof line);
    for (const char *part : {"Programming", " 50%", "30400/60800 bytes", "10.0 kB/s", "0:03 left"})
        EXPECT_NE(std::string(line).find(part), std::string::npos) << line;

    const char *says = "no answer for 7 s, waiting on PROGRAM at 0x76c0 (gives up at 30 s)";
    const zmk_event waiting{ZMK_WAITING, LPROG_PROGRAM, 0x76c0, 0,
                            0,           ZMK_NONE,      says,   ZMK_NO_ANSWER};
    run_watch_event(&w, &waiting, 10100);
    run_format_live(&w, 10100, line, sizeof line);
    EXPECT_STREQ(line, says);
    const zmk_event ack{ZMK_ANSWER, LPROG_PROGRAM, 0x76c0, 0, 0, ZMK_ACK, "", ZMK_GOING};
    run_watch_event(&w, &ack, 10200);
    run_format_live(&w, 10200, line, sizeof line);
    EXPECT_NE(std::string(line).find("Programming"), std::string::npos) << line;

    run_watch_init(&w, 0);
    e = sent(LPROG_WAIT_ERASE, 0, 0);
    for (uint32_t ms = 0; ms <= 12000; ms += 500)
        run_watch_event(&w, &e, ms);
    EXPECT_EQ(w.repeats, 0u);
    e = sent(LPROG_PROGRAM, 0, 0);
    run_watch_event(&w, &e, 12500);
    run_watch_event(&w, &e, 13000);
    EXPECT_EQ(w.repeats, 1u);
}

// What a child says reaches its parent as it was said, whatever text it holds.
TEST(RunChild, LinesRoundTrip)
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

    run_end end =
        run_end_make(3, RUN_REFUSED, "the device refuses PROGRAM at 0x1900: it answers NAK");
    end.exchanges = 250;
    end.repeats = 7;
    end.reply_ms = 16.3;
    child_format_end(&end, line, sizeof line);
    line[std::strlen(line) - 1] = 0;
    ASSERT_EQ(child_parse(line, &got), CHILD_END);
    EXPECT_EQ(got.end.exit, 3);
    EXPECT_EQ(got.end.result, RUN_REFUSED);
    EXPECT_EQ(got.end.repeats, 7u);
    EXPECT_DOUBLE_EQ(got.end.reply_ms, 16.3);
    EXPECT_STREQ(got.end.message, end.message);
    ASSERT_EQ(child_parse("@zmk end 1 no-port 0 0 - cannot open COM9", &got), CHILD_END);
    EXPECT_LT(got.end.reply_ms, 0) << "no reply timed";

    const char *timer = "/sys/class/tty/ttyUSB0/device/latency_timer";
    child_format_latency(16, timer, line, sizeof line);
    line[std::strlen(line) - 1] = 0;
    ASSERT_EQ(child_parse(line, &got), CHILD_LATENCY);
    EXPECT_EQ(got.latency_ms, 16);
    EXPECT_STREQ(got.text, timer);

    for (const char *noise :
         {"Assertion failed: t, file x, line 1", "@zmk sent 1 2", "@zmk end x", "@zmk latency 16",
          "@zmk latency x /sys/a", "@zmk waiting 3 9 failed is not waiting",
          "@zmk end 3 melted 1 0 - a result no run has", "@zmk end 3 silent 1 0 nan no number",
          "@zmk end 3 silent 1 0 -4 below nothing"})
        EXPECT_EQ(child_parse(noise, &got), CHILD_NONE) << noise;
}

// Every ending's word reads back as itself; the record keeps these words.
TEST(RunEnd, WordsRoundTrip)
{
    for (int r = RUN_OK; r <= RUN_CRASHED; ++r) {
        run_result back = RUN_OK;
        ASSERT_TRUE(run_result_parse(run_result_word(run_result(r)), &back));
        EXPECT_EQ(back, r);
    }
    EXPECT_STREQ(run_result_word(RUN_IN_USE), "in-use");
    EXPECT_EQ(run_result_of(ZMK_ERASE_TIMEOUT), RUN_ERASE_TIMEOUT);
}

// What a device is sent with its own bytes in: the same CRC-32 whether the
// bytes are put into a copy or only reckoned in.
TEST(RunImage, WrittenCrcIsTheCrcOfTheBytesSent)
{
    run_image image;
    std::string why;
    ASSERT_TRUE(run_image_load("", &image, &why)) << why;
    ASSERT_GT(image.size, 0x108u);
    EXPECT_EQ(run_image_written_crc32(image), image.crc32);
    const std::vector<uint8_t> serial{0x39, 0x30, 0x00, 0x00};
    const uint32_t reckoned = run_image_written_crc32(image, 0x100, serial);
    EXPECT_NE(reckoned, image.crc32);
    run_image copy = image;
    run_image_put(&copy, 0x100, serial);
    EXPECT_EQ(copy.crc32, image.crc32) << "the record keeps the image's own CRC-32";
    EXPECT_EQ(crc32_block(copy.bytes.data(), int32_t(copy.bytes.size())), reckoned);
    EXPECT_EQ(run_image_written_crc32(copy), reckoned);
}
