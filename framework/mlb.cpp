#include "framework/mlb.h"

#include "framework/zalloc.h"
#include "framework/zassert.h"

#include <cstdint>
#include <cstdio>

namespace {

// Small enough that no sum or difference of two offsets, lengths or
// arguments that passed the checks below can overflow 32 bits.
constexpr int32_t mlb_max_capacity = INT32_MAX / 4;

uint8_t *storage(const mlb_t *t) { return reinterpret_cast<uint8_t *>(const_cast<mlb_t *>(t) + 1); }

// Offsets must not go negative (a header pushed into missing headroom).
bool check(const mlb_t *t)
{
    return t->data_offset >= 0 && t->header_offset >= 0 && t->tail_offset >= 0;
}

// No length is negative and the tail ends inside the storage. The regions
// are contiguous, so together with check() the whole message lies inside
// the block and no caller can be handed a pointer that reaches outside it.
bool bounded(const mlb_t *t)
{
    return t->header_length >= 0 && t->data_length >= 0 && t->tail_length >= 0 &&
           int64_t{t->tail_offset} + t->tail_length <= t->capacity;
}

// A region size a caller may ask for: refused before any field changes, so
// the arithmetic on the fields stays in range.
bool fits(const mlb_t *t, int32_t n) { return n >= 0 && n <= t->capacity; }

bool in_storage(const mlb_t *t, int64_t headroom, int64_t length)
{
    return headroom >= 0 && length >= 0 && headroom + length <= t->capacity;
}

// A failed check names its expression, then the regions as they stand.
[[noreturn]] void check_failed(const mlb_t *t, const char *expr, int line)
{
    char detail[160];
    std::snprintf(detail, sizeof detail,
                  "header %d+%d, data %d+%d, tail %d+%d, capacity %d (offset+length)",
                  int(t->header_offset), int(t->header_length), int(t->data_offset),
                  int(t->data_length), int(t->tail_offset), int(t->tail_length), int(t->capacity));
    zmk_assert_fail_detail(expr, __FILE__, line, detail);
}

#define MLB_CHECK(t) (check(t) ? (void)0 : check_failed(t, "check(t)", __LINE__))
#define MLB_BOUNDED(t) (bounded(t) ? (void)0 : check_failed(t, "bounded(t)", __LINE__))

} // namespace

mlb_t *mlb_new(int32_t capacity)
{
    ZMK_ASSERT(capacity >= 0 && capacity <= mlb_max_capacity);
    auto *t = static_cast<mlb_t *>(zmk_zalloc(sizeof(mlb_t) + size_t(capacity)));
    ZMK_ASSERT(t != 0);
    t->capacity = capacity;
    return t;
}

void mlb_free(mlb_t *t) { zmk_free(t); }

void mlb_reset(mlb_t *t, int32_t length, int32_t headroom)
{
    ZMK_ASSERT(t != 0);
    // A negative length asks for everything behind the headroom.
    int64_t len = length < 0 ? int64_t{t->capacity} - headroom : int64_t{length};
    ZMK_ASSERT(in_storage(t, headroom, len));
    t->header_offset = headroom;
    t->header_length = 0;
    t->data_offset = headroom;
    t->data_length = int32_t(len);
    t->tail_offset = headroom + int32_t(len);
    t->tail_length = 0;
}

uint8_t *mlb_push_header(mlb_t *t, int32_t n)
{
    ZMK_ASSERT(fits(t, n));
    t->data_offset -= t->header_length;
    t->data_length += t->header_length;
    t->header_length = n;
    t->header_offset = t->data_offset - n;
    return mlb_header(t);
}

uint8_t *mlb_put_tail(mlb_t *t, int32_t n)
{
    ZMK_ASSERT(fits(t, n));
    t->data_length += t->tail_length;
    t->tail_length = n;
    t->tail_offset = t->data_offset + t->data_length;
    return mlb_tail(t);
}

void mlb_pull_header(mlb_t *t, int32_t n)
{
    ZMK_ASSERT(fits(t, n));
    t->header_offset = t->data_offset;
    t->header_length = n;
    t->data_offset += n;
    t->data_length -= n;
    MLB_CHECK(t);
    MLB_BOUNDED(t);
}

void mlb_trim_tail(mlb_t *t, int32_t n)
{
    ZMK_ASSERT(fits(t, n));
    t->data_length -= n;
    t->tail_offset = t->data_offset + t->data_length;
    t->tail_length = n;
    MLB_CHECK(t);
    MLB_BOUNDED(t);
}

uint8_t *mlb_header(const mlb_t *t)
{
    MLB_CHECK(t);
    MLB_BOUNDED(t);
    return storage(t) + t->header_offset;
}

uint8_t *mlb_data(const mlb_t *t)
{
    MLB_CHECK(t);
    MLB_BOUNDED(t);
    return storage(t) + t->data_offset;
}

int32_t mlb_data_offset(const mlb_t *t)
{
    MLB_CHECK(t);
    return t->data_offset;
}

uint8_t *mlb_tail(const mlb_t *t)
{
    MLB_CHECK(t);
    MLB_BOUNDED(t);
    return storage(t) + t->tail_offset;
}

int32_t mlb_length(const mlb_t *t)
{
    MLB_CHECK(t);
    MLB_BOUNDED(t);
    return t->header_length + t->data_length + t->tail_length;
}
