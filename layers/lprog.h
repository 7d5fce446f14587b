// Programming layer: the top of the protocol stack. Carries one programming
// run as a state machine (erase, wait for the erase, program every chunk,
// program the first chunk again, set the clock, reset) and moves on only when
// the device answers "ACK".
#pragma once

#include "framework/layer.h"

#include <cstdint>
#include <ctime>

enum : uint32_t {
    LPROG_IDLE = 0,
    LPROG_ERASE = 1,
    LPROG_WAIT_ERASE = 2,
    LPROG_PROGRAM = 3,
    LPROG_RESET = 4,
    LPROG_SET_CLOCK = 5,
    LPROG_REWRITE_FIRST = 6,
};

// What a front end learns each time the layer sends a command.
struct lprog_progress {
    uint32_t state;   // LPROG_* of the command being sent
    uint32_t address; // start address of the command (PROGRAM), else 0
    uint32_t done;    // image bytes acknowledged so far
    uint32_t total;   // image size
};

// Progress hook: called once per command sent, with the exact console text
// of that command ("Erasing...", "\rProgramming %4lx\r", ...). The default
// hook writes the text to standard output.
using lprog_hook = void (*)(void *ctx, const lprog_progress *progress, const char *text);

// What the device said to the command last sent.
enum : uint32_t {
    LPROG_ANSWER_NONE = 0,  // nothing that passed the packet check
    LPROG_ANSWER_ACK = 1,   // "ACK": the state moved on
    LPROG_ANSWER_OTHER = 2, // a good packet that is not "ACK" ("NAK", "BUSY", ...)
};
constexpr int LPROG_ANSWER_TEXT = 16;

struct lprog_priv;

layer_t *lprog_new();
// The flasher's layers live as long as the process; lprog_free serves the
// tests and fuzzers.
void lprog_free(layer_t *t);
void lprog_init(layer_t *t);
void lprog_start(layer_t *t, const uint8_t *image, uint32_t size, uint32_t address, int32_t chunk);
int lprog_done(const layer_t *t);
// nullptr restores the default (standard output).
void lprog_set_hook(layer_t *t, lprog_hook hook, void *ctx);
// The answer to the command last sent (LPROG_ANSWER_*), and for another
// answer its leading text, printable characters only ("NAK").
uint32_t lprog_answer(const layer_t *t);
const char *lprog_answer_text(const layer_t *t);

// The clock record of RTC_SET for the local time `local`: year - 2000, month,
// day, hour, minute, second, then two zero bytes. A time the record cannot
// carry is never sent as it is: years before 2000 or after 2255 become the
// first or last moment of that range, a field out of its range is clamped, and
// no time at all (a failed conversion, nullptr) becomes 2000-01-01 00:00:00.
// `sent` receives the time the record holds.
void lprog_clock_record(const std::tm *local, uint8_t record[8], std::tm *sent);

void lprog_tx(layer_t *t, mlb_t *buffer);
void lprog_rx(layer_t *t, mlb_t *buffer);

// Name of the command sent in `state` ("ERASE", "PROGRAM", ...), for reports.
const char *lprog_command_name(uint32_t state);
// What a person is told the run is doing in `state` ("Erasing", "Programming").
const char *lprog_phase_name(uint32_t state);
