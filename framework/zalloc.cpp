#include "framework/zalloc.h"

#include <atomic>
#include <cstdlib>

namespace {
std::atomic<uint64_t> zalloc_calls{0};
}

void *zmk_zalloc(size_t size)
{
    zalloc_calls.fetch_add(1, std::memory_order_relaxed);
    return std::calloc(1, size);
}

void zmk_free(void *p) { std::free(p); }

uint64_t zmk_zalloc_count() { return zalloc_calls.load(std::memory_order_relaxed); }
