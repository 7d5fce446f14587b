// Packet layer: CRC-32 trailer (little-endian in plain mode), or an 8-byte
// tag header and a big-endian CRC-32 (tagged mode). Follows the peer's mode
// by the byte order of a received frame's CRC.
#pragma once

#include "framework/layer.h"

#include <cstdint>

enum : int32_t {
    LPKT_PLAIN = 0,
    LPKT_TAGGED = 1,
};

struct lpkt_priv;

layer_t *lpkt_new();
// The flasher's layers live as long as the process; lpkt_free and the mode
// and tag accessors below serve the tests and fuzzers (the flasher sets only
// the peer tag, 0).
void lpkt_free(layer_t *t);
void lpkt_init(layer_t *t);
void lpkt_set_tag(layer_t *t, uint32_t value);
void lpkt_set_peer_tag(layer_t *t, uint32_t value);
void lpkt_set_mode(layer_t *t, int32_t value);
int32_t lpkt_mode(const layer_t *t);
uint32_t lpkt_peer_tag(const layer_t *t);

void lpkt_tx(layer_t *t, mlb_t *buffer);
void lpkt_rx(layer_t *t, mlb_t *buffer);
