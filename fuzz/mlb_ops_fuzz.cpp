// Random sequences of buffer operations. A model of the fields predicts which
// operations the buffer refuses (those would end the process, so they are
// skipped); every accepted one must give the model's fields, and every byte
// of the message it leaves is written and read, inside a block of exactly
// the buffer's capacity.
#include "fuzz/run_checks.h"
#include "framework/mlb.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Model {
    int64_t ho, hl, dof, dl, to, tl, cap;

    bool valid() const
    {
        return dof >= 0 && ho >= 0 && to >= 0 && hl >= 0 && dl >= 0 && tl >= 0 && to + tl <= cap;
    }
};

// Applies the operation to the model; false when the buffer refuses it.
bool model_op(Model &m, int op, int64_t a, int64_t b)
{
    Model x = m;
    if (op == 0) {
        int64_t len = a < 0 ? x.cap - b : a;
        if (b < 0 || len < 0 || b + len > x.cap)
            return false;
        x = {b, 0, b, len, b + len, 0, x.cap};
    } else {
        if (a < 0 || a > x.cap)
            return false;
        switch (op) {
        case 1: // push header
            x.dof -= x.hl;
            x.dl += x.hl;
            x.hl = a;
            x.ho = x.dof - a;
            break;
        case 2: // put tail
            x.dl += x.tl;
            x.tl = a;
            x.to = x.dof + x.dl;
            break;
        case 3: // pull header
            x.ho = x.dof;
            x.hl = a;
            x.dof += a;
            x.dl -= a;
            break;
        default: // trim tail
            x.dl -= a;
            x.to = x.dof + x.dl;
            x.tl = a;
            break;
        }
        if (!x.valid())
            return false;
    }
    m = x;
    return true;
}

int32_t arg(const uint8_t *p, int32_t cap)
{
    int32_t v = int16_t(uint16_t(p[0] << 8 | p[1]));
    // Mostly values near the capacity, sometimes far beyond either end.
    return (p[0] & 0x80) && (p[1] & 1) ? v * 65536 : v % (cap + 2);
}

} // namespace

// Input: [capacity byte] then records of [op][a: 2 bytes][b: 2 bytes].
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    int32_t cap = data[0];
    mlb_t *t = mlb_new(cap);
    Model m{0, 0, 0, 0, 0, 0, cap};
    for (size_t at = 1; at + 5 <= size; at += 5) {
        int op = data[at] % 5;
        int32_t a = arg(data + at + 1, cap), b = arg(data + at + 3, cap);
        if (!model_op(m, op, a, b))
            continue;
        uint8_t *ret = nullptr;
        switch (op) {
        case 0: mlb_reset(t, a, b); break;
        case 1: ret = mlb_push_header(t, a); break;
        case 2: ret = mlb_put_tail(t, a); break;
        case 3: mlb_pull_header(t, a); break;
        default: mlb_trim_tail(t, a); break;
        }
        require(t->header_offset == m.ho && t->header_length == m.hl && t->data_offset == m.dof &&
                t->data_length == m.dl && t->tail_offset == m.to && t->tail_length == m.tl);
        require(!ret || ret == (op == 1 ? mlb_header(t) : mlb_tail(t)));
        int32_t n = mlb_length(t);
        require(n == m.hl + m.dl + m.tl);
        std::memset(mlb_header(t), data[at], size_t(n));
        require(n == 0 || mlb_data(t)[-m.hl] == data[at]);
    }
    mlb_free(t);
    return 0;
}
