// The whole receive path, from line bytes to the programming run: the
// flasher's stack (programming over packet over link layer) on an in-memory
// port, stepped as the flasher steps it, with each step's reply served from
// the input. Every command is checked as in the programming layer's own
// fuzzer (run_watch). A step moves the run only when its line holds the bytes
// "ACK\0" (never escaped by SLIP), and must move it when its line is one
// well-formed "ACK" frame in the packet layer's mode; every step reads the
// whole reply (the drain takes what the frame left). The stack's buffer has
// the flasher's 10000 bytes, exactly what the link layer needs, so a write
// past it is caught.
#include "tests/support/host_stack.h"
#include "tests/support/mem_port.h"
#include "fuzz/run_checks.h"
#include "layers/ser.h"

#include <algorithm>
#include <memory>

namespace {

constexpr uint8_t ack[4] = {'A', 'C', 'K', 0};

// One step's line bytes from a record's control byte and bytes: as they
// are, or taken as frame content (with its last four bytes replaced by the
// right CRC, little- or big-endian, or kept) and SLIP-encoded. Returns 1 or 2
// for a CRC made right in that order.
int make_line(uint8_t control, const uint8_t *p, size_t n, bytes &line)
{
    int how = control & 3;
    if (how == 0) {
        line.assign(p, p + n);
        return 0;
    }
    uint8_t frame[255];
    std::memcpy(frame, p, n);
    if (how != 3 && n >= 4)
        (how == 1 ? put_le32 : put_be32)(frame + n - 4, crc32_bitwise(frame, int32_t(n) - 4));
    line.resize(slip_encoded_max(int32_t(n)));
    line.resize(size_t(slip_encode(frame, int32_t(n), line.data(), int32_t(line.size()))));
    return how != 3 && n >= 4 ? how : 0;
}

// The step's frame is "ACK" in the layer's mode, addressed to its tag.
bool good_ack(int order, const uint8_t *f, size_t n, int32_t mode, uint32_t tag)
{
    if (mode == LPKT_PLAIN)
        return order == 1 && n >= 8 && std::memcmp(f, ack, 4) == 0;
    return mode == LPKT_TAGGED && order == 2 && n >= 16 && get_be32(f + 4) == tag &&
           std::memcmp(f + 8, ack, 4) == 0;
}

} // namespace

// Input: [4 bytes: size, chunk, address, see pick_run][own tag] and then one
// record per step: [control][length][length bytes]. Control bits 0-1: how the
// bytes make the line (see make_line); bit 2: once they are read, the port's
// reads fail instead of timing out. The own tag is 0 in the flasher; the
// input's byte 4 (bits 0-1) may set another, which the device must then use.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    const run_params rp = pick_run(data);
    std::unique_ptr<uint8_t[]> image(rp.size ? new uint8_t[rp.size] : nullptr);
    fill_image(image.get(), rp.size);
    static bytes line;

    run_watch run;
    mem_port port;
    mem_port_init(&port);
    layer_t ser{};
    ser_attach(&ser, &port);
    host_stack host(&ser);
    run.attach(host.prog);
    const uint32_t tag = data[4] & 3;
    lpkt_set_tag(host.pkt, tag);

    run.start(host.prog, image.get(), rp);
    for (size_t at = 5; at + 2 <= size && !lprog_done(host.prog);) {
        uint8_t control = data[at];
        size_t n = std::min<size_t>(data[at + 1], size - at - 2);
        const uint8_t *f = data + at + 2;
        int order = make_line(control, f, n, line);
        at += 2 + n;
        // The line's bytes in a block of exactly their size.
        std::unique_ptr<uint8_t[]> held(new uint8_t[line.size()]);
        std::copy(line.begin(), line.end(), held.get());
        mem_port_serve(&port, held.get(), line.size(), control & 4);

        mlb_reset(host.buf, 0, STACK_HEADROOM);
        plm_tx(host.stack, host.buf);
        run.sent(mlb_data(host.buf), host.buf->data_length); // inside the packet's wrapping

        const bool must = good_ack(order, f, n, lpkt_mode(host.pkt), tag);
        plm_rx(host.stack, host.buf);
        require(port.pos == port.size);
        const bool may = std::search(line.begin(), line.end(), ack, ack + 4) != line.end();
        run.replied(must ? 1 : may ? -1 : 0, host.prog);
    }
    ser_detach(&ser);
    return 0;
}
