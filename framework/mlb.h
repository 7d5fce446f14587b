// Layered message buffer: one block of storage that carries a message through
// the protocol stack. Layers wrap and unwrap by moving region boundaries;
// message bytes are never copied, moved or cleared.
#pragma once

#include <cstdint>

struct mlb_t {
    int32_t header_offset;
    int32_t header_length;
    int32_t data_offset;
    int32_t data_length;
    int32_t tail_offset;
    int32_t tail_length;
    int32_t capacity;
    // `capacity` storage bytes follow in the same allocation.
};

// Every refusal below is a broken invariant of the caller: it ends the
// process through the assertion report, which names the expression and, for
// the region checks "check(t)" and "bounded(t)", the offsets and lengths of
// the three regions.

// mlb_new - a zeroed buffer with `capacity` storage bytes in one allocation.
// Refuses a negative capacity or one above INT32_MAX / 4; a failed
// allocation fails "t != 0".
mlb_t *mlb_new(int32_t capacity);
// mlb_free - releases the buffer; nullptr is ignored.
void mlb_free(mlb_t *t);
// mlb_reset - empty header and tail around a data region of `length` bytes
// that starts `headroom` bytes into the storage (a negative length: all the
// rest). The bytes are left as they are. Refuses regions outside the storage.
void mlb_reset(mlb_t *t, int32_t length, int32_t headroom);

// mlb_push_header - wraps: the current header joins the data, and a new
// header of n bytes goes in front of it. Returns its first byte. Refuses n
// outside 0..capacity; pushing into missing headroom fails "check(t)" as
// soon as the header is used.
uint8_t *mlb_push_header(mlb_t *t, int32_t n);
// mlb_put_tail - the current tail joins the data, and a new tail of n bytes
// follows it. Returns its first byte. Refuses n outside 0..capacity; a tail
// past the storage fails "bounded(t)" as soon as it is used.
uint8_t *mlb_put_tail(mlb_t *t, int32_t n);
// mlb_pull_header - unwraps: the first n data bytes become the header (the
// old header is dropped). Refuses n outside 0..capacity or beyond the data.
void mlb_pull_header(mlb_t *t, int32_t n);
// mlb_trim_tail - the last n data bytes become the tail (the old tail is
// dropped). Refuses n outside 0..capacity or beyond the data.
void mlb_trim_tail(mlb_t *t, int32_t n);

// The regions' first bytes and the message length (header, data and tail
// together, the bytes the bottom layer sends). Each checks the regions first.
uint8_t *mlb_header(const mlb_t *t);
uint8_t *mlb_data(const mlb_t *t);
int32_t mlb_data_offset(const mlb_t *t);
uint8_t *mlb_tail(const mlb_t *t);
int32_t mlb_length(const mlb_t *t);
