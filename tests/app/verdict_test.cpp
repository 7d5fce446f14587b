// How the engine judges a run: silence, refusal, a long erase and a
// disconnection against the run's limits, and the events it tells.
#include "app/verdict.h"
#include "app/zmk.h"
#include "layers/lprog.h"
#include "tests/support/mem_port.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

zmk_event sent(uint32_t command)
{
    return zmk_event{ZMK_SENT, command, 0x1900, 0x1900, 60800, ZMK_NONE, "", ZMK_GOING};
}

zmk_event answer(uint32_t command, zmk_answer a, const char *text = "")
{
    return zmk_event{ZMK_ANSWER, command, 0x1900, 0, 60800, a, text, ZMK_GOING};
}

// Feeds the same answer every 100 ms from `from` to `to`; the first verdict
// other than going or waiting, else the last.
zmk_verdict feed(verdict_watch *w, const zmk_event &e, uint32_t from, uint32_t to,
                 const zmk_limits &limits)
{
    zmk_verdict v = ZMK_GOING;
    for (uint32_t ms = from; ms <= to && v < ZMK_SILENT; ms += 100)
        v = verdict_answer(w, &e, ms, limits);
    return v;
}

std::string words(const verdict_watch *w, zmk_verdict v, uint32_t ms, const zmk_limits &limits)
{
    char text[200];
    verdict_format(w, v, ms, limits, text, sizeof text);
    return text;
}

} // namespace

// Each way a run stops making progress is told apart, waits are told after
// two seconds, and only the limit that belongs to each ends the run.
TEST(Verdict, TellsSilenceRefusalALongEraseAndADisconnectionApart)
{
    const zmk_limits limits{5000, 10000}, none{0, 0};
    verdict_watch w;
    verdict_init(&w, 0);
    zmk_event poll = sent(LPROG_WAIT_ERASE);
    verdict_sent(&w, &poll, 0);
    // "Not yet" to the erase poll for longer than the time-out is no refusal...
    const zmk_event busy = answer(LPROG_WAIT_ERASE, ZMK_OTHER, "BUSY");
    EXPECT_EQ(feed(&w, busy, 0, 9800, limits), ZMK_ERASING);
    EXPECT_EQ(words(&w, ZMK_ERASING, 9800, limits), "still erasing for 9 s (gives up at 10 s)");
    // ...until the erase time-out, counted from the first poll.
    EXPECT_EQ(feed(&w, busy, 9900, 10000, limits), ZMK_ERASE_TIMEOUT);
    EXPECT_EQ(words(&w, ZMK_ERASE_TIMEOUT, 10000, limits),
              "the erase did not finish within 10 s: the device still answers BUSY to the erase "
              "poll");

    verdict_init(&w, 0);
    zmk_event chunk = sent(LPROG_PROGRAM);
    verdict_sent(&w, &chunk, 0);
    EXPECT_EQ(feed(&w, answer(LPROG_PROGRAM, ZMK_ACK), 0, 5000, limits), ZMK_GOING);
    const zmk_event nak = answer(LPROG_PROGRAM, ZMK_OTHER, "NAK");
    EXPECT_EQ(feed(&w, nak, 5100, 6900, limits), ZMK_GOING);
    EXPECT_EQ(feed(&w, nak, 7000, 7000, limits), ZMK_REFUSING);
    EXPECT_EQ(words(&w, ZMK_REFUSING, 7000, limits),
              "answers NAK to PROGRAM at 0x1900 (gives up at 5 s)");
    EXPECT_EQ(feed(&w, nak, 7100, 9900, limits), ZMK_REFUSING);
    EXPECT_EQ(feed(&w, nak, 10000, 10000, limits), ZMK_REFUSED);
    EXPECT_EQ(words(&w, ZMK_REFUSED, 10000, limits),
              "the device refuses PROGRAM at 0x1900: it answers NAK");

    // A refusal long past, then silence: the device stopped answering.
    verdict_init(&w, 0);
    verdict_sent(&w, &chunk, 0);
    EXPECT_EQ(feed(&w, nak, 0, 0, limits), ZMK_GOING);
    const zmk_event quiet = answer(LPROG_PROGRAM, ZMK_NONE), gone = answer(LPROG_PROGRAM, ZMK_GONE);
    EXPECT_EQ(feed(&w, quiet, 100, 9000, limits), ZMK_SILENT);
    EXPECT_EQ(feed(&w, quiet, 100, 60000, none), ZMK_NO_ANSWER) << "no limit waits for ever";
    EXPECT_EQ(words(&w, ZMK_NO_ANSWER, 60000, none),
              "no answer for 60 s, waiting on PROGRAM at 0x1900 (waits for ever)");
    EXPECT_EQ(verdict_answer(&w, &gone, 60000, none), ZMK_DISCONNECTED) << "even without limits";
    EXPECT_EQ(words(&w, ZMK_DISCONNECTED, 60000, none),
              "the device disconnected while waiting on PROGRAM at 0x1900");
}

namespace {

struct {
    mem_port port;
    std::vector<zmk_event_kind> events;
    std::vector<zmk_verdict> verdicts;
    std::string status, failed;
} seen;

port_handle open_in_memory(const char *)
{
    mem_port_init(&seen.port);
    // A device that takes every command and then is pulled out.
    mem_port_serve(&seen.port, nullptr, 0, true);
    return &seen.port;
}

} // namespace

// The engine ends a run whose port has gone away, also without limits (the
// dialogs'): one failure event with the reason, the status, no more steps.
TEST(Verdict, TheEngineEndsARunWhosePortWentAway)
{
    port_set_opener(open_in_memory);
    static constexpr zmk_frontend fe{nullptr,
                                     [](uint32_t, uint32_t) {},
                                     [](const char *text) { return seen.status = text, 1; },
                                     [](const char *) {},
                                     [](void *, const zmk_event *e) {
                                         seen.events.push_back(e->kind);
                                         seen.verdicts.push_back(e->verdict);
                                         if (e->kind == ZMK_FAILED)
                                             seen.failed = e->text;
                                     },
                                     nullptr,
                                     nullptr};
    frontend_set(&fe);
    static flasher_t run;
    static const uint8_t image[300] = {1};
    ASSERT_EQ(flasher_start(&run, "com9", image, sizeof image), 0);
    EXPECT_EQ(flasher_tick(&run), -1);
    EXPECT_EQ(flasher_tick(&run), -1) << "a failed run stays failed";
    EXPECT_EQ(seen.events, (std::vector<zmk_event_kind>{ZMK_SENT, ZMK_ANSWER, ZMK_FAILED}));
    EXPECT_EQ(seen.verdicts.back(), ZMK_DISCONNECTED);
    EXPECT_EQ(seen.failed, "the device disconnected while waiting on ERASE");
    EXPECT_EQ(seen.status, "Disconnected") << "a word the dialog's field holds whole";
    frontend_set(nullptr);
    port_set_opener(nullptr);
}
