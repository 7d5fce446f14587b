// Protocol layer object and the layer stack that links layers together.
#pragma once

#include "framework/mlb.h"

#include <cstdint>

struct layer_t;
using layer_op = void (*)(layer_t *t, mlb_t *buffer);

struct layer_t {
    layer_op tx;    // adds this layer's part and passes the message down
    layer_op rx;    // takes this layer's part off and passes the rest up
    layer_t *lower; // toward the device; null at the bottom
    layer_t *upper; // null at the top
    void *p_;       // the layer kind's private state
};

layer_t *layer_new();
void layer_init(layer_t *t);
void layer_set_upper(layer_t *t, layer_t *layer);
void layer_set_lower(layer_t *t, layer_t *layer);
layer_t *layer_upper(const layer_t *t);
layer_t *layer_lower(const layer_t *t);
