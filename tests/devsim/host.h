// Our stack talking to the simulator core through an in-memory line with a
// virtual clock. The line models the host's reading: a reply that starts
// later than the 120 ms wait, or pauses longer inside, is lost; bytes behind
// the first frame are drained. Also hand-made frames and a reply decoder.
#pragma once

#include "tests/support/host_stack.h"
#include "framework/bytes.h"
#include "layers/slip.h"
#include "tools/devsim/devsim.h"

#include <algorithm>
#include <cstring>
#include <string>

inline std::vector<uint8_t> slip_frame(const uint8_t *p, int n)
{
    std::vector<uint8_t> enc(size_t(slip_encoded_max(n)));
    enc.resize(size_t(slip_encode(p, n, enc.data(), int(enc.size()))));
    return enc;
}

// A plain packet around `cmd`, SLIP-encoded as it goes on the line.
inline std::vector<uint8_t> frame(std::vector<uint8_t> cmd, uint32_t crc_flip = 0)
{
    uint32_t crc = crc32_block(cmd.data(), int32_t(cmd.size())) ^ crc_flip;
    cmd.resize(cmd.size() + 4);
    put_le32(&cmd[cmd.size() - 4], crc);
    return slip_frame(cmd.data(), int(cmd.size()));
}

inline std::vector<uint8_t> cmd(const char *name, std::initializer_list<uint32_t> words,
                                std::vector<uint8_t> data = {})
{
    std::vector<uint8_t> c(8, 0);
    std::memcpy(c.data(), name, std::strlen(name));
    for (uint32_t w : words) {
        c.resize(c.size() + 4);
        put_le32(&c[c.size() - 4], w);
    }
    c.insert(c.end(), data.begin(), data.end());
    return c;
}

// The texts of the plain replies in `bytes`, "" for one whose CRC is wrong.
inline std::vector<std::string> plain_answers(const std::vector<uint8_t> &bytes)
{
    std::vector<std::string> out;
    std::vector<uint8_t> p(bytes.size() + 1);
    slip_decoder d;
    slip_decoder_init(&d, p.data(), int(p.size()));
    // Bytes before the first END are noise, not a reply.
    auto b = std::find(bytes.begin(), bytes.end(), SLIP_END);
    for (; b != bytes.end(); ++b) {
        if (slip_decode(&d, *b) != SLIP_FRAME || d.count <= 4)
            continue;
        bool good = crc32_block(p.data(), d.count - 4) == get_le32(&p[size_t(d.count - 4)]);
        out.emplace_back(good ? std::string(p.begin(), p.begin() + d.count - 4).c_str() : "");
    }
    return out;
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
            auto enc = slip_frame(mlb_header(b), mlb_length(b));
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

    void receive(layer_t *t, mlb_t *b)
    {
        // The first frame of the reply; a reply cut short gives what came.
        mlb_reset(b, 10000, 0);
        slip_decoder d;
        slip_decoder_init(&d, mlb_data(b), 10000);
        for (uint8_t c : reply)
            if (slip_decode(&d, c) == SLIP_FRAME)
                break;
        now_us += reply.empty() ? 130'000 : 15'000;
        reply.clear();
        mlb_reset(b, d.count, 0);
        t->upper->rx(t->upper, b);
    }
};
