// The whole receive path, from line bytes to the programming state: the
// flasher's stack (programming over packet over link layer) on an in-memory
// port, stepped as the flasher steps it, with each step's reply served from
// the input. A reference receiver works out from the same line bytes what the
// step must do (the frame the link layer reads, the packet layer's verdict
// and mode, whether "ACK" arrives), and the stack must agree on every step:
// so the run moves on, and completes, only on real "ACK" frames of the mode
// the packet layer was in. The commands and progress are checked as in the
// programming layer's own fuzzer. The stack's buffer has the flasher's 10000
// bytes, exactly what the link layer needs, so a write past it is caught.
#include "tests/support/host_stack.h"
#include "tests/support/mem_port.h"
#include "fuzz/lpkt_model.h"
#include "fuzz/lprog_model.h"
#include "layers/ser.h"

#include <array>
#include <memory>
#include <vector>

namespace {

// What the packet layer holds, as the reference sees it.
struct ref_packet {
    int32_t mode = LPKT_PLAIN;
    uint32_t tag = 0, peer_tag = 0;
};

// The first SLIP frame on the line, as the link layer reads it: 0 when the
// bytes run out (or an ESC is the last of them) before a closing END.
int32_t ref_frame(const std::vector<uint8_t> &line, std::array<uint8_t, SER_MAX_FRAME> &out)
{
    int32_t count = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        uint8_t c = line[i];
        if (c == SLIP_END) {
            if (count)
                return count;
            continue;
        }
        if (c == SLIP_ESC) {
            if (++i == line.size())
                return 0;
            c = line[i] == SLIP_ESC_END ? SLIP_END : line[i] == SLIP_ESC_ESC ? SLIP_ESC : line[i];
        }
        if (count + 1 >= SER_MAX_FRAME)
            return 0;
        out[size_t(count++)] = c;
    }
    return 0;
}

// True when the frame hands "ACK" to the programming layer.
bool ref_receive(ref_packet &r, const uint8_t *f, int32_t n)
{
    lpkt_verdict v = lpkt_expect(f, n, r.mode, r.tag, r.peer_tag);
    r.mode = v.mode;
    r.peer_tag = v.peer_tag;
    return v.up && is_ack(f + v.header, n - 4 - v.header);
}

void slip_encode(const uint8_t *p, size_t n, std::vector<uint8_t> &out)
{
    out.push_back(SLIP_END);
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == SLIP_END || p[i] == SLIP_ESC) {
            out.push_back(SLIP_ESC);
            out.push_back(p[i] == SLIP_END ? SLIP_ESC_END : SLIP_ESC_ESC);
        } else {
            out.push_back(p[i]);
        }
    }
    out.push_back(SLIP_END);
}

// One step's line bytes from a record's control byte and bytes: as they
// are, or taken as frame content (with its last four bytes replaced by the
// right CRC, little- or big-endian, or kept) and SLIP-encoded.
void make_line(uint8_t control, const uint8_t *p, size_t n, std::vector<uint8_t> &line)
{
    line.clear();
    int how = control & 3;
    if (how == 0) {
        line.assign(p, p + n);
        return;
    }
    uint8_t frame[255];
    std::memcpy(frame, p, n);
    if (how != 3 && n >= 4)
        (how == 1 ? put_le32 : put_be32)(frame + n - 4, crc32_block(frame, int32_t(n) - 4));
    slip_encode(frame, n, line);
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

    static std::array<uint8_t, SER_MAX_FRAME> frame;
    static std::vector<uint8_t> line;
    line.reserve(2 * 255 + 2);

    lprog_watch run;
    ref_packet ref;
    ref.tag = data[4] & 3;
    mem_port port;
    mem_port_init(&port);
    layer_t ser{};
    ser_attach(&ser, &port);
    host_stack host(&ser);
    layer_t *prog = host.prog, *pkt = host.pkt;
    mlb_t *buf = host.buf;
    run.attach(prog);
    lpkt_set_tag(pkt, ref.tag);

    lprog_start(prog, image.get(), rp.size, rp.address, rp.chunk);
    run.model.start(image.get(), rp.size, rp.address, rp.chunk);
    for (size_t at = 5; at + 2 <= size && !lprog_done(prog);) {
        uint8_t control = data[at];
        size_t n = std::min<size_t>(data[at + 1], size - at - 2);
        make_line(control, data + at + 2, n, line);
        at += 2 + n;
        // The line's bytes in a block of exactly their size.
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[line.size()]);
        std::memcpy(bytes.get(), line.data(), line.size());
        mem_port_serve(&port, bytes.get(), line.size(), control & 4);

        mlb_reset(buf, 0, 12);
        plm_tx(host.stack, buf);
        require(run.reports == run.commands + 1);
        // The packet layer wrapped the command around the data region.
        run.model.check_command(mlb_data(buf), buf->data_length);
        ++run.commands;

        plm_rx(host.stack, buf);
        require(port.pos == port.size); // the drain took the rest of the reply
        int32_t k = ref_frame(line, frame);
        if (ref_receive(ref, frame.data(), k))
            run.model.on_ack();
        run.model.check_layer(prog);
        require(lpkt_mode(pkt) == ref.mode && lpkt_peer_tag(pkt) == ref.peer_tag);
    }
    return 0;
}
