// Every zero-filled allocation of the protocol objects goes through here, so
// a test can prove that exchanges allocate nothing once the stack is built.
#pragma once

#include <cstddef>
#include <cstdint>

// calloc(1, size); nullptr when it fails (callers assert on the result).
void *zmk_zalloc(size_t size);
void zmk_free(void *p);
// Number of zmk_zalloc calls made so far in this process.
uint64_t zmk_zalloc_count();
