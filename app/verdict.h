// How a run stands: the engine follows each command sent and the answer it
// got, and judges silence, refusal, a running erase and a disconnection
// against the run's limits. Front ends only show what it tells.
#pragma once

#include "app/frontend.h"

#include <cstddef>
#include <cstdint>

// When a run gives up; 0: never (the dialogs ask again until closed).
struct zmk_limits {
    uint32_t ack_timeout_ms;   // nothing acknowledged, silent or refusing, this long
    uint32_t erase_timeout_ms; // the erase poll answered "not yet" this long
};

// Once nothing has been acknowledged for this long, the run says it waits.
constexpr uint32_t VERDICT_WAITING_MS = 2000;

struct verdict_watch {
    uint32_t command, address; // the command last sent
    uint32_t last_ack_ms;
    uint32_t last_life_ms;  // any answer with a good packet, "ACK" or not
    uint32_t last_other_ms; // an answer other than "ACK"
    int other_seen;         // since the last "ACK"
    char other_text[16];
    uint32_t erase_start_ms; // the first erase poll
    int erase_started;
    int still_erasing; // the last answer was the erase poll's "not yet"
};

void verdict_init(verdict_watch *t, uint32_t now_ms);
void verdict_sent(verdict_watch *t, const zmk_event *e, uint32_t now_ms);
// Takes in an answer and says how the run stands: ZMK_GOING, a waiting
// state, or a failure.
zmk_verdict verdict_answer(verdict_watch *t, const zmk_event *e, uint32_t now_ms,
                           const zmk_limits &limits);
// The words for a waiting state ("no answer for 7 s, waiting on PROGRAM at
// 0x4c00 (gives up at 30 s)") or a failure ("the device refuses PROGRAM at
// 0x1900: it answers NAK").
void verdict_format(const verdict_watch *t, zmk_verdict v, uint32_t now_ms,
                    const zmk_limits &limits, char *dest, size_t size);
// "PROGRAM at 0x1900", "ERASE", "the erase poll".
// A failure in a few words that fit the dialog's status field whole
// ("Disconnected"); the sentence goes to the console.
const char *verdict_status_word(zmk_verdict v);
void verdict_describe(uint32_t command, uint32_t address, char *dest, size_t size);
