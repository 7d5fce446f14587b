// Writes the seed inputs of the lpkt_rx, lprog_rx and rx_path fuzzers from
// real replies: the flasher's stack runs against the device simulator over
// the in-memory port, and every reply the simulator sends (ACK, NAK, BUSY,
// MODE and TAG, plain and tagged, with and without faults) is kept as the
// line bytes of that step, as the frame the packet layer got, and as the
// payload the programming layer got. A few replies that only come close to
// "ACK" are added by hand. The committed seeds were made with
//   cmake --build --preset fuzz --target zmk-fuzz-seeds
//   build/fuzz/fuzz/zmk-fuzz-seeds fuzz/corpus
#include "tests/support/host_stack.h"
#include "tests/support/mem_port.h"

#include <cstring>
#include "layers/ser.h"
#include "tools/devsim/devsim.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct Session {
    devsim_t *dev = nullptr;
    int64_t now = 0;
    bytes reply;             // the line bytes of this step's reply
    bytes lpkt, lprog, rx;   // the three seeds being written
    int32_t mode_before = 0; // the packet layer's mode when the reply came
};

Session *current;

void on_write(void *, const uint8_t *p, int n)
{
    Session &s = *current;
    s.reply.clear();
    for (int used = 0; used < n;) {
        devsim_reply r;
        bool framed = false;
        used += devsim_feed(s.dev, p + used, n - used, s.now, &r, &framed);
        s.reply.insert(s.reply.end(), r.bytes.begin(), r.bytes.begin() + r.length);
    }
}

// Taps on the way up: what reached the packet layer and the programming layer.
void tap_pkt(layer_t *t, mlb_t *b)
{
    Session &s = *current;
    int32_t n = mlb_length(b);
    s.mode_before = lpkt_mode(t);
    s.lpkt.push_back(s.lpkt.empty() ? 0 : 0x40); // plain at first, then as it goes
    s.lpkt.push_back(uint8_t(n));
    s.lpkt.insert(s.lpkt.end(), mlb_header(b), mlb_header(b) + n);
    lpkt_rx(t, b);
}

bool heard;
void tap_prog(layer_t *t, mlb_t *b)
{
    Session &s = *current;
    heard = true;
    int32_t n = b->data_length;
    const uint8_t *p = mlb_data(b);
    uint8_t framing = s.mode_before == LPKT_TAGGED ? 0x30 : 0x20;
    if (n >= 4 && std::memcmp(p, "ACK", 4) == 0) {
        s.lprog.push_back(framing);
    } else {
        n = n < 15 ? n : 15;
        s.lprog.push_back(uint8_t(0x80 | framing | n));
        s.lprog.insert(s.lprog.end(), p, p + n);
    }
    lprog_rx(t, b);
}

void save(const std::string &path, const bytes &b)
{
    if (FILE *f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(b.data(), 1, b.size(), f);
        std::fclose(f);
    }
}

// One run: `params` are the fuzzers' first four bytes (size, chunk, address).
void session(const char *dir, const char *name, devsim_config cfg, const uint8_t params[4])
{
    Session s;
    current = &s;
    cfg.baud = 0;
    s.dev = devsim_new(&cfg);
    uint32_t size = (params[0] | params[1] << 8) & 0x1FFF;
    uint32_t address = (params[3] & 3) == 1 ? 0x1FF000 : 0;
    int32_t chunk = params[2] ? params[2] : 256;
    bytes image(size);
    for (uint32_t i = 0; i < size; ++i) // as the fuzzers fill it
        image[i] = uint8_t(uint8_t(i * 7 + (i >> 8) + 1) % 0xFF);

    mem_port port;
    mem_port_init(&port);
    port.on_write = on_write;
    layer_t ser{};
    ser_attach(&ser, &port);
    host_stack host(&ser);
    host.pkt->rx = tap_pkt;
    host.prog->rx = tap_prog;

    s.rx.assign(params, params + 4);
    s.rx.push_back(0); // own tag 0, as in the flasher
    s.lprog.assign(params, params + 4);
    s.lprog.push_back(0); // no idle steps
    lprog_start(host.prog, image.data(), size, address, chunk);
    for (int step = 0; step < 200 && !lprog_done(host.prog); ++step) {
        mlb_reset(host.buf, 0, 12);
        plm_tx(host.stack, host.buf);
        mem_port_serve(&port, s.reply.data(), s.reply.size());
        s.rx.push_back(0); // raw line bytes
        s.rx.push_back(uint8_t(s.reply.size()));
        s.rx.insert(s.rx.end(), s.reply.begin(), s.reply.end());
        heard = false;
        plm_rx(host.stack, host.buf);
        if (!heard)
            s.lprog.push_back(0x80); // nothing came up
        s.now += 10'000;
    }
    std::printf("%s: %s after %u exchanges\n", name, lprog_done(host.prog) ? "done" : "not done",
                devsim_exchanges(s.dev));
    std::string d = dir;
    save(d + "/rx_path/" + name, s.rx);
    save(d + "/lprog_rx/" + name, s.lprog);
    save(d + "/lpkt_rx/" + name, s.lpkt);
    devsim_free(s.dev);
}

// Replies that come close to "ACK" without being one, among real ones: the
// fourth byte not zero, only three bytes, lower case, and "ACK" behind junk.
void near_acks(const char *dir, const uint8_t params[4])
{
    bytes prog(params, params + 4);
    prog.push_back(0);
    bytes rx = prog;
    const bytes replies[] = {{'A', 'C', 'K', 'X'},
                             {'A', 'C', 'K'},
                             {'a', 'c', 'k', 0},
                             {'A', 'C', 'K', 0, 'X'},
                             {'N', 'A', 'C', 'K', 0}};
    for (const bytes &r : replies) {
        prog.push_back(0);                        // "ACK"
        prog.push_back(uint8_t(0x80 | r.size())); // then the near miss
        prog.insert(prog.end(), r.begin(), r.end());
        // On the line: plain frames with the right CRC (made by the fuzzer).
        for (const bytes *p : {&replies[3], &r}) {
            rx.push_back(1);
            rx.push_back(uint8_t(p->size() + 4));
            rx.insert(rx.end(), p->begin(), p->end());
            rx.insert(rx.end(), 4, 0);
        }
    }
    std::string d = dir;
    save(d + "/lprog_rx/near_acks", prog);
    save(d + "/rx_path/near_acks", rx);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: zmk-fuzz-seeds CORPUS_DIR\n");
        return 2;
    }
    const char *dir = argv[1];
    const uint8_t three_chunks[4] = {0x58, 0x02, 0, 0}; // 600 bytes, chunk 256, at 0
    const uint8_t small_image[4] = {200, 0, 64, 1};     // 200 bytes, chunk 64, at 0x1FF000

    devsim_config plain;
    plain.erase_ms = 30; // a few BUSY answers to the erase poll
    session(dir, "dev_plain", plain, three_chunks);

    devsim_config tagged = plain;
    tagged.mode = DEVSIM_TAGGED;
    tagged.tag = 5; // MODE first, then TAG until the host learns the tag
    session(dir, "dev_tagged", tagged, three_chunks);

    devsim_config flips = plain;
    flips.switch_at = 5; // the device changes kind during the run
    session(dir, "dev_switch", flips, small_image);

    devsim_config faulty = tagged;
    faulty.seed = 7;
    for (devsim_fault f : {DEVSIM_NAK, DEVSIM_CORRUPT, DEVSIM_GARBAGE, DEVSIM_DROP})
        faulty.faults[size_t(f)].rate = 0.2;
    session(dir, "dev_faults", faulty, small_image);
    near_acks(dir, three_chunks);
    return 0;
}
