#include "framework/layer.h"

#include "framework/zalloc.h"
#include "framework/zassert.h"

layer_t *layer_new()
{
    auto *t = static_cast<layer_t *>(zmk_zalloc(sizeof(layer_t)));
    ZMK_ASSERT(t != 0);
    return t;
}

void layer_init(layer_t *t)
{
    ZMK_ASSERT(t != 0);
    t->lower = nullptr;
    t->upper = nullptr;
}

void layer_set_upper(layer_t *t, layer_t *layer) { t->upper = layer; }
void layer_set_lower(layer_t *t, layer_t *layer) { t->lower = layer; }
layer_t *layer_upper(const layer_t *t) { return t->upper; }
layer_t *layer_lower(const layer_t *t) { return t->lower; }
