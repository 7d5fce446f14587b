// Any bytes on the line into the simulator's request parser: the SLIP
// decoder, the packet check, the command parser and the flash model. The
// first byte picks the device's kind, tag, faults and erase time; the rest
// arrives in pieces whose sizes come from the data, with the clock moving on
// after every frame. Every reply must be a well-formed, bounded frame.
#include "fuzz/run_checks.h"
#include "tools/devsim/devsim.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t opt = data[0];
    devsim_config cfg;
    cfg.mode = opt & 1 ? DEVSIM_TAGGED : DEVSIM_PLAIN;
    cfg.tag = opt & 2 ? 5 : 0;
    cfg.switch_at = opt & 4 ? 3 : 0;
    cfg.erase_ms = opt & 8 ? 100 : 0;
    cfg.baud = opt & 16 ? 115200 : 0;
    cfg.flash_size = 0x4000; // small, so fuzzed ranges reach its end
    cfg.seed = opt;
    if (opt & 32)
        for (auto &f : cfg.faults)
            f.rate = 0.2;
    devsim_t *t = devsim_new(&cfg);
    int64_t now = 0;
    size_t off = 1;
    while (off < size) {
        // A piece of up to 64 bytes, or all of what is left.
        size_t piece = std::min<size_t>(size - off, size_t(data[off] % 64) + 1);
        const uint8_t *p = data + off;
        int32_t n = int32_t(piece), used = 0;
        while (used < n) {
            devsim_reply r;
            bool framed = false;
            int32_t k = devsim_feed(t, p + used, n - used, now, &r, &framed);
            require(k > 0 && k <= n - used);
            used += k;
            require(r.length >= 0 && r.length <= DEVSIM_MAX_REPLY);
            require(r.length == 0 || (r.bytes[0] == 0xC0 && r.send_at_us >= now));
            require(r.stall_at < r.length);
            if (framed)
                now += 60'000;
        }
        off += piece;
    }
    std::vector<uint8_t> expect(64, 0xFF);
    devsim_end end;
    end.expect = &expect;
    require(!devsim_report(t, &end).empty());
    devsim_free(t);
    return 0;
}
