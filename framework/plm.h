// Layer stack: holds an ordered stack of layers by its two ends and starts
// the downward (tx) and upward (rx) passes.
#pragma once

#include "framework/layer.h"

struct plm_t {
    layer_t *top;
    layer_t *bottom;
};

enum : int32_t {
    PLM_TOP = 0,   // new layer becomes the top
    PLM_ABOVE = 1, // directly above `existing`
    PLM_BELOW = 2, // directly below `existing`
};

plm_t *plm_new();
// The flasher's stack lives as long as the process: plm_free and plm_remove
// serve the tests.
void plm_free(plm_t *t);
void plm_insert(plm_t *t, layer_t *layer, int32_t position, layer_t *existing);
void plm_remove(plm_t *t, layer_t *layer);
void plm_tx(plm_t *t, mlb_t *buffer);
void plm_rx(plm_t *t, mlb_t *buffer);
// True when `layer` is linked into `t` (walks from the top).
bool plm_contains(const plm_t *t, const layer_t *layer);
