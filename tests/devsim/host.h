// A host built from our own layers (lprog over lpkt), talking to the
// simulator core through an in-memory line with a virtual clock. The line
// models the host's reading: a reply that starts later than the 120 ms wait,
// or pauses longer inside, is lost; bytes behind the first frame are drained.
#pragma once

#include "framework/bytes.h"
#include "framework/mlb.h"
#include "framework/plm.h"
#include "layers/lpkt.h"
#include "layers/lprog.h"
#include "tools/devsim/devsim.h"

#include <algorithm>
#include <cstring>
#include <vector>

struct mem_host {
    layer_t line{};
    devsim_t *dev = nullptr;
    int64_t now_us = 1'000'000;
    std::vector<uint8_t> reply;
    plm_t *stack = plm_new();
    layer_t *prog = lprog_new();
    layer_t *pkt = lpkt_new();
    mlb_t *buf = mlb_new(10000);

    explicit mem_host(const devsim_config &cfg) : dev(devsim_new(&cfg))
    {
        line.p_ = this;
        line.tx = [](layer_t *t, mlb_t *b) { static_cast<mem_host *>(t->p_)->send(b); };
        line.rx = [](layer_t *t, mlb_t *b) { static_cast<mem_host *>(t->p_)->receive(t, b); };
        lprog_init(prog);
        lpkt_init(pkt);
        lprog_set_hook(prog, [](void *, const lprog_progress *, const char *) {}, nullptr);
        plm_insert(stack, prog, PLM_TOP, nullptr);
        plm_insert(stack, pkt, PLM_BELOW, prog);
        plm_insert(stack, &line, PLM_BELOW, pkt);
        lpkt_set_peer_tag(pkt, 0);
    }
    ~mem_host()
    {
        plm_free(stack);
        lprog_free(prog);
        lpkt_free(pkt);
        mlb_free(buf);
        devsim_free(dev);
    }

    // Raw bytes onto the line, as if the host wrote them; keeps the reply.
    void write(const uint8_t *p, int n)
    {
        reply.clear();
        int off = 0;
        while (off < n) {
            devsim_reply r;
            bool framed = false;
            off += devsim_feed(dev, p + off, n - off, now_us, &r, &framed);
            if (!framed || r.length == 0 || r.hangup)
                continue;
            bool late = r.send_at_us - now_us > 120'000;
            bool stalled = r.stall_at >= 0 && r.stall_ms > 120;
            if (!late && !stalled)
                reply.assign(r.bytes.begin(), r.bytes.begin() + r.length);
            now_us = std::max(now_us, r.send_at_us);
        }
    }

    void send(mlb_t *b)
    {
        std::vector<uint8_t> enc{0xC0};
        for (int i = 0; i < mlb_length(b); ++i) {
            uint8_t c = mlb_header(b)[i];
            if (c == 0xC0 || c == 0xDB)
                enc.insert(enc.end(), {0xDB, uint8_t(c == 0xC0 ? 0xDC : 0xDD)});
            else
                enc.push_back(c);
        }
        enc.push_back(0xC0);
        write(enc.data(), int(enc.size()));
    }

    // The first frame of the reply, decoded; the rest is drained.
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
            if (n < 9999)
                d[n++] = c;
        }
        now_us += reply.empty() ? 130'000 : 15'000;
        reply.clear();
        mlb_reset(b, n, 0);
        t->upper->rx(t->upper, b);
    }

    void start(const std::vector<uint8_t> &image, uint32_t address = 0)
    {
        lprog_start(prog, image.data(), uint32_t(image.size()), address, 256);
    }

    // Steps like the flasher until RESET is acknowledged; returns the steps.
    int run(int limit = 20000)
    {
        int steps = 0;
        while (!lprog_done(prog) && steps < limit) {
            mlb_reset(buf, 0, 12);
            plm_tx(stack, buf);
            plm_rx(stack, buf);
            ++steps;
        }
        return steps;
    }
};
