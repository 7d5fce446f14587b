// What a programming run must look like from outside the layer, for the
// fuzzers that drive one: a model of the run that moves only on "ACK", and
// checks of every command sent and every progress report against it. The
// model sees the layer only through its interface: its state, its done flag,
// the commands it hands down and the progress it reports.
#pragma once

#include "framework/bytes.h"
#include "layers/lprog.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

inline void require(bool ok)
{
    if (!ok)
        std::abort();
}

// The reply test of the programming layer: "ACK", its zero byte, anything after.
inline bool is_ack(const uint8_t *payload, int32_t n)
{
    return n >= 4 && std::memcmp(payload, "ACK", 4) == 0;
}

struct lprog_model {
    const uint8_t *image = nullptr;
    uint32_t size = 0, address = 0;
    int32_t chunk = 1;
    uint32_t state = LPROG_IDLE;
    uint32_t offset = 0; // image offset of the chunk the next PROGRAM carries
    bool done = false;

    void start(const uint8_t *img, uint32_t n, uint32_t addr, int32_t chunk_len)
    {
        image = img;
        size = n;
        address = addr;
        chunk = chunk_len;
        state = LPROG_ERASE;
        offset = 0;
        done = false;
    }

    void on_ack()
    {
        switch (state) {
        case LPROG_ERASE: state = LPROG_WAIT_ERASE; break;
        case LPROG_WAIT_ERASE: state = LPROG_PROGRAM; break;
        case LPROG_PROGRAM:
            if (uint64_t(offset) + uint64_t(chunk) >= size) {
                offset = 0;
                state = LPROG_REWRITE_FIRST;
            } else {
                offset += uint32_t(chunk);
            }
            break;
        case LPROG_REWRITE_FIRST: state = LPROG_SET_CLOCK; break;
        case LPROG_SET_CLOCK: state = LPROG_RESET; break;
        case LPROG_RESET:
            state = LPROG_IDLE;
            done = true;
            break;
        default: break;
        }
    }

    uint32_t bytes_done() const
    {
        switch (state) {
        case LPROG_PROGRAM: return offset;
        case LPROG_REWRITE_FIRST:
        case LPROG_SET_CLOCK:
        case LPROG_RESET: return size;
        default: return 0;
        }
    }

    // Flash end of the last chunk: the image rounded up to whole chunks, and
    // one chunk for an empty image, which still gets its one PROGRAM.
    uint64_t program_end() const
    {
        uint64_t chunks = (uint64_t(size) + uint64_t(chunk) - 1) / uint64_t(chunk);
        return uint64_t(address) + (chunks ? chunks : 1) * uint64_t(chunk);
    }

    void check_layer(const layer_t *t) const
    {
        require(lprog_state(t) == state);
        require(lprog_done(t) == (done ? 1 : 0));
        require(state != LPROG_PROGRAM || offset < size || (offset == 0 && size == 0));
    }

    // The command handed down in the model's state: `cmd` is exactly n bytes.
    void check_command(const uint8_t *cmd, int32_t n) const
    {
        auto name = [&](const char *word) {
            return std::memcmp(cmd, word, std::strlen(word) + 1) == 0;
        };
        switch (state) {
        case LPROG_IDLE: require(n == 0); break;
        case LPROG_ERASE:
            require(n == 16 && name("ERASE"));
            require(get_le32(cmd + 8) == address && get_le32(cmd + 12) == address + size);
            break;
        case LPROG_WAIT_ERASE:
            require(n == 16 && name("PROGRAM"));
            require(get_le32(cmd + 8) == 0 && get_le32(cmd + 12) == 0);
            break;
        case LPROG_PROGRAM:
        case LPROG_REWRITE_FIRST: {
            require(n == 16 + chunk && name("PROGRAM"));
            uint32_t at = state == LPROG_PROGRAM ? offset : 0;
            uint64_t start = get_le32(cmd + 8), end = get_le32(cmd + 12);
            require(start == uint64_t(address) + at && end == start + uint64_t(chunk));
            require(start >= address && end <= program_end());
            for (int32_t i = 0; i < chunk; ++i) {
                uint64_t k = uint64_t(at) + uint64_t(i);
                require(cmd[16 + i] == (k < size ? image[k] : 0xFF));
            }
            break;
        }
        case LPROG_SET_CLOCK:
            require(n == 24 && name("RTC_SET") && std::memcmp(cmd + 8, cmd + 16, 8) == 0);
            break;
        case LPROG_RESET: require(n == 8 && name("RESET")); break;
        default: require(false);
        }
    }

    void check_progress(const lprog_progress *p) const
    {
        require(p->state == state && p->total == size);
        require(p->done == bytes_done() && p->done <= size);
        uint32_t start = state == LPROG_PROGRAM ? address + offset : address;
        bool program = state == LPROG_PROGRAM || state == LPROG_REWRITE_FIRST;
        require(p->address == (program ? start : 0));
    }
};

// Watches a layer's run: the model, and the count of commands and reports,
// with the progress hook checking each report against the model.
struct lprog_watch {
    lprog_model model;
    int commands = 0, reports = 0;

    void attach(layer_t *prog)
    {
        lprog_set_hook(
            prog,
            [](void *ctx, const lprog_progress *p, const char *) {
                auto *w = static_cast<lprog_watch *>(ctx);
                w->model.check_progress(p);
                ++w->reports;
            },
            this);
    }
};

// Picks the run's parameters from four input bytes, so that every run fits
// the 32-bit flash address space (the flasher's own values are among them):
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
    switch (p[3] & 3) {
    case 0: r.address = 0; break;
    case 1: r.address = 0x1FF000; break;
    case 2: r.address = uint32_t(p[3]) << 16; break;
    default: r.address = 0xFFFFFFFFu - 0x2100u; break; // the last chunks of the space
    }
    return r;
}

// Image bytes that differ from their neighbours and from the 0xFF fill.
inline void fill_image(uint8_t *image, uint32_t size)
{
    for (uint32_t i = 0; i < size; ++i)
        image[i] = uint8_t(i * 7 + (i >> 8) + 1) % 0xFF;
}
