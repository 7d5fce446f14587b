// Random replies handed to the programming layer in every state of a run,
// over a bottom layer that checks what the layer sends (run_watch): the run
// moves only on "ACK", and every command is the one the image calls for.
// The image sits in a block of exactly its size, so a read past it is caught.
#include "framework/mlb.h"
#include "fuzz/run_checks.h"

#include <memory>

namespace {

// The header and trailer that the packet layer would leave around a reply:
// they read "ACK" too, so a layer that looked at them would be caught.
constexpr uint8_t decoy[8] = {'A', 'C', 'K', 0, 'A', 'C', 'K', 0};

} // namespace

// Input: [4 bytes: size, chunk, address, see pick_run][idle steps] and then
// one record per step: [control][bytes]. Control bit 7 clear: the reply is
// "ACK", its zero byte and bits 0-3 further bytes; set: bits 0-3 bytes taken
// as they are (0: no reply at all). Bit 6 starts the run again before the
// step, bit 4 puts an 8-byte header in front, bit 5 a 4-byte trailer behind.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    const run_params rp = pick_run(data);
    int idle = data[4] & 7;
    std::unique_ptr<uint8_t[]> image(rp.size ? new uint8_t[rp.size] : nullptr);
    fill_image(image.get(), rp.size);

    run_watch run;
    layer_t bottom{};
    bottom.p_ = &run;
    bottom.tx = [](layer_t *t, mlb_t *b) {
        static_cast<run_watch *>(t->p_)->sent(mlb_header(b), mlb_length(b));
    };
    layer_t *prog = lprog_new();
    lprog_init(prog);
    layer_set_lower(prog, &bottom);
    run.attach(prog);
    mlb_t *buf = mlb_new(16 + 256 + 12 + 4);

    size_t at = 5;
    for (int step = 0; at < size; ++step) {
        uint8_t control = data[at++];
        if (step == idle || (control & 0x40))
            run.start(prog, image.get(), rp);
        mlb_reset(buf, 0, 12);
        lprog_tx(prog, buf);

        uint8_t payload[4 + 15];
        int32_t n = 0;
        if (!(control & 0x80)) {
            std::memcpy(payload, "ACK", 4);
            n = 4;
        }
        size_t more = std::min<size_t>(control & 15, size - at);
        std::memcpy(payload + n, data + at, more);
        n += int32_t(more);
        at += more;

        int32_t head = control & 0x10 ? 8 : 0, tail = control & 0x20 ? 4 : 0;
        mlb_reset(buf, head + n + tail, 0);
        std::memcpy(mlb_header(buf), decoy, size_t(head));
        std::memcpy(mlb_header(buf) + head, payload, size_t(n));
        std::memcpy(mlb_header(buf) + head + n, decoy, size_t(tail));
        mlb_pull_header(buf, head);
        mlb_trim_tail(buf, tail);
        lprog_rx(prog, buf);
        run.replied(is_ack(payload, n), prog);
    }
    mlb_reset(buf, 0, 12); // the command of the place the run ended in
    lprog_tx(prog, buf);

    mlb_free(buf);
    lprog_free(prog);
    return 0;
}
