// Our stack talking to the simulator core through an in-memory line with a
// virtual clock. The line models the host's reading: a reply that starts
// later than the 120 ms wait, or pauses longer inside, is lost; bytes behind
// the first frame are drained.
#pragma once

#include "bench/stack.h"
#include "tools/devsim/devsim.h"

#include <algorithm>
#include <string>

inline std::vector<uint8_t> slip_encode(const uint8_t *p, int n)
{
    std::vector<uint8_t> enc{0xC0};
    for (int i = 0; i < n; ++i) {
        if (p[i] == 0xC0 || p[i] == 0xDB)
            enc.insert(enc.end(), {0xDB, uint8_t(p[i] == 0xC0 ? 0xDC : 0xDD)});
        else
            enc.push_back(p[i]);
    }
    enc.push_back(0xC0);
    return enc;
}

struct mem_host {
    layer_t line{};
    devsim_t *dev;
    host_stack host{&line};
    int64_t now_us = 1'000'000;
    std::vector<uint8_t> reply;

    explicit mem_host(const devsim_config &cfg) : dev(devsim_new(&cfg))
    {
        line.p_ = this;
        line.tx = [](layer_t *t, mlb_t *b) {
            auto enc = slip_encode(mlb_header(b), mlb_length(b));
            static_cast<mem_host *>(t->p_)->write(enc.data(), int(enc.size()));
        };
        line.rx = [](layer_t *t, mlb_t *b) { static_cast<mem_host *>(t->p_)->receive(t, b); };
    }
    ~mem_host() { devsim_free(dev); }

    // Bytes onto the line as the host would write them; keeps the reply.
    void write(const uint8_t *p, int n)
    {
        reply.clear();
        for (int off = 0; off < n;) {
            devsim_reply r;
            bool framed = false;
            off += devsim_feed(dev, p + off, n - off, now_us, &r, &framed);
            bool lost = r.send_at_us - now_us > 120'000 || (r.stall_at >= 0 && r.stall_ms > 120);
            if (framed && r.length && !lost)
                reply.assign(r.bytes.begin(), r.bytes.begin() + r.length);
            now_us = std::max(now_us, r.send_at_us);
        }
    }

    // Payload text of the reply's packet (plain), for hand-made exchanges.
    std::string answer() const
    {
        return reply.size() > 4 ? std::string(reply.begin() + 1, reply.begin() + 4) : "";
    }

    void receive(layer_t *t, mlb_t *b)
    {
        int n = 0;
        mlb_reset(b, 10000, 0);
        uint8_t *d = mlb_data(b);
        bool esc = false;
        for (uint8_t c : reply) {
            if (esc) {
                esc = false;
                c = c == 0xDC ? 0xC0 : c == 0xDD ? 0xDB : c;
            } else if (c == 0xDB) {
                esc = true;
                continue;
            } else if (c == 0xC0) {
                if (n)
                    break;
                continue;
            }
            d[n++] = c;
        }
        now_us += reply.empty() ? 130'000 : 15'000;
        reply.clear();
        mlb_reset(b, n, 0);
        t->upper->rx(t->upper, b);
    }
};
