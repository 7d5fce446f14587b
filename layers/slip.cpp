#include "layers/slip.h"

int slip_encode(const uint8_t *src, int n, uint8_t *dest, int cap)
{
    if (n < 0 || cap < 2 || (n > 0 && !src) || !dest)
        return -1;
    int len = 0;
    dest[len++] = SLIP_END;
    for (int i = 0; i < n; ++i) {
        const uint8_t b = src[i];
        const bool escaped = b == SLIP_END || b == SLIP_ESC;
        if (len + (escaped ? 2 : 1) > cap - 1)
            return -1;
        if (escaped) {
            dest[len++] = SLIP_ESC;
            dest[len++] = b == SLIP_END ? SLIP_ESC_END : SLIP_ESC_ESC;
        } else {
            dest[len++] = b;
        }
    }
    dest[len++] = SLIP_END;
    return len;
}

void slip_decoder_init(slip_decoder *t, uint8_t *dest, int cap)
{
    t->dest = dest;
    t->cap = cap;
    slip_decoder_reset(t);
}

void slip_decoder_reset(slip_decoder *t)
{
    t->count = 0;
    t->esc = false;
    t->odd_escape = false;
    t->ended = false;
}

slip_result slip_decode(slip_decoder *t, uint8_t byte)
{
    if (t->ended)
        slip_decoder_reset(t);
    if (t->esc) {
        t->esc = false;
        if (byte == SLIP_ESC_END)
            byte = SLIP_END;
        else if (byte == SLIP_ESC_ESC)
            byte = SLIP_ESC;
        else
            t->odd_escape = true;
    } else if (byte == SLIP_END) {
        if (t->count == 0) {
            t->odd_escape = false;
            return SLIP_MORE;
        }
        t->ended = true;
        return SLIP_FRAME;
    } else if (byte == SLIP_ESC) {
        t->esc = true;
        return SLIP_MORE;
    }
    if (t->count + 1 >= t->cap) {
        slip_decoder_reset(t);
        return SLIP_FULL;
    }
    t->dest[t->count++] = byte;
    return SLIP_MORE;
}
