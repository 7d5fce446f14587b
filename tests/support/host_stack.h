// The flasher's protocol stack (lprog over lpkt) above any bottom layer,
// stepped the way the flasher steps it.
#pragma once

#include "framework/mlb.h"
#include "framework/plm.h"
#include "layers/lpkt.h"
#include "layers/lprog.h"

#include <vector>

struct host_stack {
    plm_t *stack = plm_new();
    layer_t *prog = lprog_new(), *pkt = lpkt_new();
    mlb_t *buf = mlb_new(10000);

    explicit host_stack(layer_t *bottom)
    {
        lprog_init(prog);
        lpkt_init(pkt);
        lprog_set_hook(
            prog, [](void *, const lprog_progress *, const char *) {}, nullptr);
        plm_insert(stack, prog, PLM_TOP, nullptr);
        plm_insert(stack, pkt, PLM_BELOW, prog);
        plm_insert(stack, bottom, PLM_BELOW, pkt);
        lpkt_set_peer_tag(pkt, 0);
    }
    ~host_stack()
    {
        plm_free(stack);
        lprog_free(prog);
        lpkt_free(pkt);
        mlb_free(buf);
    }
    void start(const std::vector<uint8_t> &image, uint32_t address = 0)
    {
        lprog_start(prog, image.data(), uint32_t(image.size()), address, 256);
    }
    // Steps until RESET is acknowledged or `limit` steps have passed.
    bool run(int limit = 20000)
    {
        for (int i = 0; i < limit && !lprog_done(prog); ++i) {
            mlb_reset(buf, 0, 12);
            plm_tx(stack, buf);
            plm_rx(stack, buf);
        }
        return lprog_done(prog);
    }
};
