// The flasher's protocol stack above any bottom layer, built and stepped the
// way the flasher builds and steps it.
#pragma once

#include "layers/lpkt.h"
#include "layers/lprog.h"
#include "layers/stack.h"

#include <vector>

struct host_stack {
    run_stack s{};
    plm_t *stack;
    layer_t *prog, *pkt;
    mlb_t *buf;

    explicit host_stack(layer_t *bottom)
    {
        stack_build(&s, bottom);
        stack = s.stack;
        prog = s.prog;
        pkt = s.pkt;
        buf = s.buf;
        lprog_set_hook(
            prog, [](void *, const lprog_progress *, const char *) {}, nullptr);
    }
    ~host_stack() { stack_free(&s); }
    void start(const std::vector<uint8_t> &image, uint32_t address = 0)
    {
        lprog_start(prog, image.data(), uint32_t(image.size()), address, STACK_CHUNK);
    }
    // Steps until RESET is acknowledged or `limit` steps have passed.
    bool run(int limit = 20000)
    {
        for (int i = 0; i < limit && !lprog_done(prog); ++i)
            stack_step(&s);
        return lprog_done(prog);
    }
};
