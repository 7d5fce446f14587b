// The protocol stack of one run, built in one place for the flasher, the
// tests and the fuzzers: the programming layer over the packet layer over a
// bottom layer (the serial link, or a test's stand-in), one message buffer,
// and the run's constants.
#pragma once

#include "framework/mlb.h"
#include "framework/plm.h"

#include <cstdint>

// The run's fixed settings.
constexpr long STACK_BAUD = 115200;
constexpr int32_t STACK_CHUNK = 256;               // image bytes per PROGRAM command
constexpr uint32_t STACK_READ_TIMEOUT_US = 120000; // the wait for each reply byte
constexpr int32_t STACK_BUFFER = 10000;            // the one message buffer, both ways
constexpr int32_t STACK_HEADROOM = 12;             // room for the packet layer's header

struct run_stack {
    plm_t *stack;
    mlb_t *buf;
    layer_t *prog, *pkt, *bottom;
};

// Builds prog over pkt over `bottom` (peer tag 0), and the buffer. The
// programming layer's progress hook is left to the caller.
void stack_build(run_stack *t, layer_t *bottom);
// One exchange: the command of the programming layer's state down, the
// answer up.
void stack_step(run_stack *t);
// Frees what stack_build made (not `bottom`); the flasher's stack lives as
// long as the process, so this serves the tests and fuzzers.
void stack_free(run_stack *t);
