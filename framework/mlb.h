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

mlb_t *mlb_new(int32_t capacity);
void mlb_free(mlb_t *t);
void mlb_reset(mlb_t *t, int32_t length, int32_t headroom);

uint8_t *mlb_push_header(mlb_t *t, int32_t n);
uint8_t *mlb_put_tail(mlb_t *t, int32_t n);
void mlb_pull_header(mlb_t *t, int32_t n);
void mlb_trim_tail(mlb_t *t, int32_t n);

uint8_t *mlb_header(const mlb_t *t);
uint8_t *mlb_data(const mlb_t *t);
int32_t mlb_data_offset(const mlb_t *t);
uint8_t *mlb_tail(const mlb_t *t);
int32_t mlb_length(const mlb_t *t);
