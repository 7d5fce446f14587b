#include "layers/stack.h"

#include "framework/zassert.h"
#include "layers/lpkt.h"
#include "layers/lprog.h"

void stack_build(run_stack *t, layer_t *bottom)
{
    ZMK_ASSERT(t && bottom);
    t->stack = plm_new();
    t->buf = mlb_new(STACK_BUFFER);
    t->pkt = lpkt_new();
    lpkt_init(t->pkt);
    t->prog = lprog_new();
    lprog_init(t->prog);
    t->bottom = bottom;
    plm_insert(t->stack, t->prog, PLM_TOP, nullptr);
    plm_insert(t->stack, t->pkt, PLM_BELOW, t->prog);
    plm_insert(t->stack, bottom, PLM_BELOW, t->pkt);
    lpkt_set_peer_tag(t->pkt, 0);
}

void stack_step(run_stack *t)
{
    mlb_reset(t->buf, 0, STACK_HEADROOM);
    plm_tx(t->stack, t->buf);
    plm_rx(t->stack, t->buf);
}

void stack_free(run_stack *t)
{
    plm_free(t->stack);
    lprog_free(t->prog);
    lpkt_free(t->pkt);
    mlb_free(t->buf);
    *t = run_stack{};
}
