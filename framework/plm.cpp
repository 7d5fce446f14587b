#include "framework/plm.h"

#include "framework/zalloc.h"
#include "framework/zassert.h"

plm_t *plm_new()
{
    auto *t = static_cast<plm_t *>(zmk_zalloc(sizeof(plm_t)));
    ZMK_ASSERT(t != 0);
    return t;
}

// The stack does not own its layers: only the stack record goes.
void plm_free(plm_t *t) { zmk_free(t); }

bool plm_contains(const plm_t *t, const layer_t *layer)
{
    for (const layer_t *l = t->top; l; l = l->lower)
        if (l == layer)
            return true;
    return false;
}

void plm_insert(plm_t *t, layer_t *layer, int32_t position, layer_t *existing)
{
    ZMK_ASSERT(layer != 0);
    // A layer that is already linked in would be linked twice and break both
    // chains; a reference outside the stack would splice in a foreign chain.
    if (plm_contains(t, layer))
        return;
    layer->lower = nullptr;
    layer->upper = nullptr;

    if (!t->top) {
        ZMK_ASSERT(existing == 0);
        t->top = layer;
        t->bottom = layer;
        return;
    }
    switch (static_cast<uint32_t>(position)) {
    case PLM_TOP:
        ZMK_ASSERT(existing == 0);
        t->top->upper = layer;
        layer->lower = t->top;
        t->top = layer;
        break;
    case PLM_ABOVE: {
        ZMK_ASSERT(existing != 0);
        if (!plm_contains(t, existing))
            return;
        layer_t *a = existing->upper;
        layer->upper = a;
        layer->lower = existing;
        existing->upper = layer;
        if (existing == t->top)
            t->top = layer;
        else
            a->lower = layer;
        break;
    }
    case PLM_BELOW: {
        ZMK_ASSERT(existing != 0);
        if (!plm_contains(t, existing))
            return;
        layer_t *b = existing->lower;
        layer->upper = existing;
        layer->lower = b;
        existing->lower = layer;
        if (existing == t->bottom)
            t->bottom = layer;
        else
            b->upper = layer;
        break;
    }
    default: break;
    }
}

void plm_remove(plm_t *t, layer_t *layer)
{
    if (!plm_contains(t, layer))
        return;
    if (layer == t->top) {
        t->top = layer->lower;
        if (t->top)
            t->top->upper = nullptr;
    } else {
        layer->upper->lower = layer->lower;
    }
    if (layer == t->bottom) {
        t->bottom = layer->upper;
        if (t->bottom)
            t->bottom->lower = nullptr;
    } else {
        layer->lower->upper = layer->upper;
    }
    layer->lower = nullptr;
    layer->upper = nullptr;
}

void plm_tx(plm_t *t, mlb_t *buffer)
{
    if (t->top) {
        ZMK_ASSERT(t->top->tx);
        t->top->tx(t->top, buffer);
    }
}

void plm_rx(plm_t *t, mlb_t *buffer)
{
    if (t->bottom) {
        ZMK_ASSERT(t->bottom->rx);
        t->bottom->rx(t->bottom, buffer);
    }
}
