// Checks shared by the fuzzers, none of them a copy of the code under test:
// a CRC-32 worked bit by bit, and what a programming run must look like from
// outside the layer. Fed only "ACK", a run sends the commands that follow
// from the image alone; any other reply leaves the next command as it was.
#pragma once

#include "framework/bytes.h"
#include "layers/lprog.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

inline void require(bool ok)
{
    if (!ok)
        std::abort();
}

// Reflected CRC-32 (polynomial 0xEDB88320), bit by bit: the library's is
// table-driven, so a fault in its table shows here.
inline uint32_t crc32_bitwise(const uint8_t *p, int32_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (int32_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = c >> 1 ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

// The device's yes: "ACK", its zero byte, anything after.
inline bool is_ack(const uint8_t *payload, int32_t n)
{
    return n >= 4 && std::memcmp(payload, "ACK", 4) == 0;
}

// A run's parameters from four input bytes, so that every run fits the
// 32-bit flash address space (the flasher's own values are among them):
// size up to 8191 bytes, a chunk of 1 to 256 bytes.
struct run_params {
    uint32_t size, address;
    int32_t chunk;
};

inline run_params pick_run(const uint8_t *p)
{
    run_params r{};
    r.size = get_le16(p) & 0x1FFF;
    r.chunk = p[2] ? p[2] : 256;
    const uint32_t at[] = {0, 0x1FF000, uint32_t(p[3]) << 16, 0xFFFFFFFFu - 0x2100u};
    r.address = at[p[3] & 3];
    return r;
}

// Image bytes that differ from their neighbours and from the 0xFF fill.
inline void fill_image(uint8_t *image, uint32_t size)
{
    for (uint32_t i = 0; i < size; ++i)
        image[i] = uint8_t(i * 7 + (i >> 8) + 1) % 0xFF;
}

using bytes = std::vector<uint8_t>;

// Watches a run at the layer's lower edge and in its progress hook. `lo` and
// `hi` bound the place, in the command list of a run that hears only "ACK",
// of the command the layer must send next; they differ only where a reply
// may or may not have been "ACK" and the commands did not yet tell.
struct run_watch {
    run_params rp{};
    const uint8_t *image = nullptr;
    bool started = false;
    uint32_t lo = 0, hi = 0;
    int reports = 0;
    lprog_progress report{};
    bytes want;

    uint64_t chunks() const
    {
        return std::max<uint64_t>(1, (uint64_t(rp.size) + uint64_t(rp.chunk) - 1) / rp.chunk);
    }
    // ERASE, the erase poll, every chunk, the first chunk again, RTC_SET, RESET.
    uint32_t total() const { return uint32_t(chunks()) + 5; }

    // Command k of the all-"ACK" run: the name field, then its words and
    // data. Chunks past the image's end are 0xFF, as erased flash.
    void expected(uint32_t k)
    {
        auto head = [&](const char *name) {
            want.assign(8, 0);
            std::memcpy(want.data(), name, std::strlen(name));
        };
        auto words = [&](uint32_t a, uint32_t b) {
            want.resize(16);
            put_le32(&want[8], a);
            put_le32(&want[12], b);
        };
        if (k == 0) {
            head("ERASE");
            words(rp.address, rp.address + rp.size);
        } else if (k == 1) {
            head("PROGRAM");
            words(0, 0);
        } else if (k < 3 + chunks()) {
            uint32_t at = k < 2 + chunks() ? (k - 2) * uint32_t(rp.chunk) : 0;
            head("PROGRAM");
            words(rp.address + at, rp.address + at + uint32_t(rp.chunk));
            for (uint32_t i = at; i < at + uint32_t(rp.chunk); ++i)
                want.push_back(i < rp.size ? image[i] : 0xFF);
        } else {
            head(k == 3 + chunks() ? "RTC_SET" : "RESET");
        }
    }
    // Image bytes acknowledged before command k goes out.
    uint32_t acked(uint32_t k) const
    {
        return k < 2 ? 0 : k < 2 + chunks() ? (k - 2) * uint32_t(rp.chunk) : rp.size;
    }

    void attach(layer_t *prog)
    {
        lprog_set_hook(
            prog,
            [](void *ctx, const lprog_progress *p, const char *) {
                auto *w = static_cast<run_watch *>(ctx);
                w->report = *p;
                ++w->reports;
            },
            this);
    }
    void start(layer_t *prog, const uint8_t *img, const run_params &r)
    {
        lprog_start(prog, img, r.size, r.address, r.chunk);
        rp = r;
        image = img;
        started = true;
        lo = hi = 0;
    }

    bool matches(uint32_t k, const uint8_t *cmd, int32_t n)
    {
        expected(k);
        if (n < 8 || std::memcmp(cmd, want.data(), 8) != 0 || report.done != acked(k))
            return false;
        if (k == 3 + chunks()) // the clock is read as the command goes
            return n == 24;
        return n == int32_t(want.size()) && std::memcmp(cmd, want.data(), want.size()) == 0;
    }

    // The command the layer handed down (n == 0: none), after its report.
    void sent(const uint8_t *cmd, int32_t n)
    {
        const bool running = started && lo < total();
        require(reports == (n > 0 ? 1 : 0) && (n > 0) == running);
        reports = 0;
        if (!running)
            return;
        require(report.total == rp.size);
        require(report.address == (std::memcmp(cmd, "PROGRAM", 8) == 0 ? get_le32(cmd + 8) : 0));
        require(std::strncmp(lprog_command_name(report.state), (const char *)cmd, 8) == 0);
        uint32_t first = hi + 1, last = 0;
        for (uint32_t k = lo; k <= hi && k < total(); ++k)
            if (matches(k, cmd, n))
                first = std::min(first, k), last = k;
        require(first <= last);
        lo = first, hi = last;
        if (std::memcmp(cmd, "RTC_SET", 8) == 0) {
            // One clock record twice: a date the device can hold.
            const uint8_t *r = cmd + 8;
            require(std::memcmp(r, r + 8, 8) == 0 && r[1] >= 1 && r[1] <= 12 && r[2] >= 1 &&
                    r[2] <= 31 && r[3] < 24 && r[4] < 60 && r[5] < 60 && (r[6] | r[7]) == 0);
        }
    }

    // The reply to the command last sent: "ACK" (1), not (0), or either (-1).
    void replied(int ack, const layer_t *prog)
    {
        if (!started) {
            require(!lprog_done(prog));
            return;
        }
        if (ack != 0)
            hi = std::min(hi + 1, total());
        if (ack > 0)
            lo = std::min(lo + 1, total());
        if (lprog_done(prog)) {
            require(hi == total());
            lo = hi;
        } else {
            require(lo < total());
            hi = std::min(hi, total() - 1);
        }
    }
};
