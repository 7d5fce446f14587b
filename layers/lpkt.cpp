#include "layers/lpkt.h"

#include "framework/bytes.h"
#include "framework/mlb.h"
#include "framework/zalloc.h"
#include "framework/zassert.h"

struct lpkt_priv {
    int32_t mode;      // LPKT_PLAIN or LPKT_TAGGED
    uint32_t tag;      // own tag: first header word sent, second word accepted
    uint32_t peer_tag; // second header word sent; learnt from accepted frames
};

namespace {

constexpr int32_t tag_header = 8;
constexpr int32_t crc_trailer = 4;

lpkt_priv *priv(const layer_t *t) { return static_cast<lpkt_priv *>(t->p_); }

void drop(mlb_t *buffer) { mlb_reset(buffer, 0, 0); }

} // namespace

layer_t *lpkt_new()
{
    auto *t = static_cast<layer_t *>(zmk_zalloc(sizeof(layer_t)));
    ZMK_ASSERT(t);
    t->p_ = zmk_zalloc(sizeof(lpkt_priv));
    ZMK_ASSERT(t->p_);
    return t;
}

void lpkt_free(layer_t *t)
{
    if (!t)
        return;
    zmk_free(t->p_);
    zmk_free(t);
}

void lpkt_init(layer_t *t)
{
    layer_init(t);
    t->tx = lpkt_tx;
    t->rx = lpkt_rx;
    priv(t)->mode = LPKT_PLAIN;
}

void lpkt_set_tag(layer_t *t, uint32_t value) { priv(t)->tag = value; }
void lpkt_set_peer_tag(layer_t *t, uint32_t value) { priv(t)->peer_tag = value; }
void lpkt_set_mode(layer_t *t, int32_t value) { priv(t)->mode = value; }
int32_t lpkt_mode(const layer_t *t) { return priv(t)->mode; }
uint32_t lpkt_peer_tag(const layer_t *t) { return priv(t)->peer_tag; }

void lpkt_tx(layer_t *t, mlb_t *buffer)
{
    lpkt_priv *p = priv(t);
    if (mlb_length(buffer) == 0)
        return;
    // An unknown mode would put a frame of no defined shape on the line.
    if (p->mode != LPKT_PLAIN && p->mode != LPKT_TAGGED)
        return;
    mlb_push_header(buffer, 0);
    uint8_t *trailer = mlb_put_tail(buffer, crc_trailer);
    if (p->mode == LPKT_PLAIN) {
        put_le32(trailer, crc32_block(mlb_header(buffer), mlb_length(buffer) - crc_trailer));
    } else {
        uint8_t *header = mlb_push_header(buffer, tag_header);
        put_be32(header, p->tag);
        put_be32(header + 4, p->peer_tag);
        put_be32(trailer, crc32_block(mlb_header(buffer), mlb_length(buffer) - crc_trailer));
    }
    if (t->lower && t->lower->tx)
        t->lower->tx(t->lower, buffer);
}

void lpkt_rx(layer_t *t, mlb_t *buffer)
{
    lpkt_priv *p = priv(t);
    int32_t n = mlb_length(buffer);
    if (n <= crc_trailer)
        return;
    mlb_trim_tail(buffer, crc_trailer);
    uint32_t crc = crc32_block(mlb_header(buffer), n - crc_trailer);
    bool le = crc == get_le32(mlb_tail(buffer));
    bool be = crc == get_be32(mlb_tail(buffer));

    if (p->mode == LPKT_PLAIN) {
        if (!le) {
            if (be)
                p->mode = LPKT_TAGGED;
            drop(buffer);
            return;
        }
    } else if (p->mode == LPKT_TAGGED) {
        if (!be) {
            if (le)
                p->mode = LPKT_PLAIN;
            drop(buffer);
            return;
        }
        // Too short to hold the tag header: the header would run past the frame.
        if (n - crc_trailer < tag_header) {
            drop(buffer);
            return;
        }
        mlb_pull_header(buffer, tag_header);
        const uint8_t *header = mlb_header(buffer);
        if (get_be32(header + 4) != p->tag) {
            drop(buffer);
            return;
        }
        p->peer_tag = get_be32(header);
    } else {
        drop(buffer);
        return;
    }
    if (t->upper && t->upper->rx)
        t->upper->rx(t->upper, buffer);
}
