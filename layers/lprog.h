// Programming layer: the top of the protocol stack. Carries one programming
// run as a state machine (erase, wait for the erase, program every chunk,
// program the first chunk again, set the clock, reset) and moves on only when
// the device answers "ACK".
#pragma once

#include "framework/layer.h"

#include <cstdint>

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

struct lprog_priv;

layer_t *lprog_new();
void lprog_free(layer_t *t);
void lprog_init(layer_t *t);
void lprog_start(layer_t *t, const uint8_t *image, uint32_t size, uint32_t address, int32_t chunk);
int lprog_done(const layer_t *t);
uint32_t lprog_state(const layer_t *t);
// nullptr restores the default (standard output).
void lprog_set_hook(layer_t *t, lprog_hook hook, void *ctx);

void lprog_tx(layer_t *t, mlb_t *buffer);
void lprog_rx(layer_t *t, mlb_t *buffer);

// Name of the command sent in `state` ("ERASE", "PROGRAM", ...), for reports.
const char *lprog_command_name(uint32_t state);
