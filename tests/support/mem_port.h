// A port in memory, reached through the port seam's operations table like
// the system's: reads serve the bytes given to mem_port_serve, then time out
// (or find the port gone, when asked); writes are taken whole and shown to an
// optional hook. For tests and fuzzers that drive the link layer without a
// device.
#pragma once

#include "platform/serial.h"

#include <cstddef>
#include <cstdint>

struct mem_port : port_s {
    const uint8_t *data = nullptr;
    size_t size = 0, pos = 0;
    bool gone_at_end = false; // past the bytes, the port is gone
    port_timeouts timeouts{};
    port_line line{};
    void (*on_write)(void *ctx, const uint8_t *p, int n) = nullptr;
    void *ctx = nullptr;
    int calls = 0; // every call through the table
};

// Makes `t` a port (its table set, nothing to read).
void mem_port_init(mem_port *t);
void mem_port_serve(mem_port *t, const uint8_t *data, size_t size, bool gone_at_end = false);
