// The flasher's stack (programming over packet layer) over a bottom layer
// that plays the device. The fuzzers check the same rules on random input;
// these cases pin the bytes and texts of a run of the real image's size.
#include "framework/bytes.h"
#include "framework/zalloc.h"
#include "tests/support/host_stack.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

long news_count(); // count_new.cpp

namespace {

using bytes = std::vector<uint8_t>;
const bytes ack = {'A', 'C', 'K', 0};
const bytes plain_ack = {0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63};
const bytes tagged_ack = {0, 0, 0, 0, 0, 0, 0, 0, 0x41, 0x43, 0x4B, 0x00, 0x39, 0x2C, 0x5C, 0x60};

int make_frame(uint8_t *out, const void *payload, int n, bool tagged, uint32_t w0, uint32_t w1)
{
    int h = tagged ? 8 : 0;
    put_be32(out, w0);
    put_be32(out + 4, w1);
    std::memcpy(out + h, payload, size_t(n));
    (tagged ? put_be32 : put_le32)(out + h + n, crc32_block(out, h + n));
    return h + n + 4;
}

enum class Reply { Ack, None, BadCrc, NotAck, AckX, Lower, ToTagged, ToPlain, ForeignTag };

// The device keeps what the host sends and answers in its own packet kind.
struct Stack : testing::Test {
    layer_t dev{};
    host_stack host{&dev};
    layer_t *prog = host.prog, *pkt = host.pkt;
    mlb_t *buf = host.buf;
    bool tagged = false;     // the device's packet kind
    Reply next = Reply::Ack; // its next reply only
    std::vector<bytes> log;  // every frame sent
    bool record = true;
    std::string text;
    std::vector<lprog_progress> progress;
    bytes image = bytes(60800);

    static Stack *self(void *p) { return static_cast<Stack *>(p); }
    Stack()
    {
        dev.p_ = this;
        dev.tx = [](layer_t *t, mlb_t *b) {
            if (self(t->p_)->record)
                self(t->p_)->log.emplace_back(mlb_header(b), mlb_header(b) + mlb_length(b));
        };
        dev.rx = [](layer_t *t, mlb_t *) { self(t->p_)->answer(); };
        auto hook = [](void *ctx, const lprog_progress *p, const char *s) {
            if (self(ctx)->record) {
                self(ctx)->text += s;
                self(ctx)->progress.push_back(*p);
            }
        };
        lprog_set_hook(prog, hook, this);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = uint8_t(i * 7 + (i >> 8));
    }
    // As the link layer delivers: into the storage, then the length, no headroom.
    void deliver(const uint8_t *f, int n)
    {
        mlb_reset(buf, -1, 0);
        std::memcpy(mlb_data(buf), f, size_t(n));
        mlb_reset(buf, n, 0);
        lpkt_rx(pkt, buf);
    }
    void answer()
    {
        Reply r = std::exchange(next, Reply::Ack);
        if (r == Reply::ToTagged || r == Reply::ToPlain)
            tagged = r == Reply::ToTagged;
        const char *word = r == Reply::NotAck  ? "NAK\0ok"
                           : r == Reply::AckX  ? "ACKXok"
                           : r == Reply::Lower ? "ack\0ok"
                                               : "ACK\0ok";
        uint8_t f[32];
        int n = make_frame(f, word, 6, tagged, 0, r == Reply::ForeignTag ? 9 : 0);
        f[2] ^= r == Reply::BadCrc ? 0x10 : 0;
        deliver(f, r == Reply::None ? 0 : n);
    }
    void start() { host.start(image); }
    void step()
    {
        mlb_reset(buf, 0, 12);
        plm_tx(host.stack, buf);
        plm_rx(host.stack, buf);
    }
    bytes send(const bytes &payload) // through the packet layer alone
    {
        mlb_reset(buf, 0, 12);
        if (!payload.empty())
            std::memcpy(mlb_put_tail(buf, int32_t(payload.size())), payload.data(), payload.size());
        size_t before = log.size();
        lpkt_tx(pkt, buf);
        return log.size() == before ? bytes{} : log.back();
    }
    bytes command() const // the last command sent, whichever packet kind carried it
    {
        const bytes &f = log.back();
        int n = int(f.size()) - 4;
        bool plain = crc32_block(f.data(), n) == get_le32(&f[size_t(n)]);
        EXPECT_TRUE(plain || crc32_block(f.data(), n) == get_be32(&f[size_t(n)]));
        return bytes(f.begin() + (plain ? 0 : 8), f.begin() + n);
    }
};

bytes cmd(const char *name, std::initializer_list<uint32_t> words)
{
    bytes out(8);
    std::memcpy(out.data(), name, std::strlen(name));
    for (uint32_t w : words) {
        out.resize(out.size() + 4);
        put_le32(&out[out.size() - 4], w);
    }
    return out;
}

} // namespace

TEST_F(Stack, PacketsSentByteForByte)
{
    EXPECT_EQ(send(ack), plain_ack);
    lpkt_set_mode(pkt, LPKT_TAGGED);
    EXPECT_EQ(send(ack), tagged_ack);
    uint8_t f[32];
    deliver(f, make_frame(f, "ACK", 4, true, 7, 0)); // the peer's tag is echoed
    bytes echoed = send(ack);
    EXPECT_EQ(bytes(echoed.begin() + 4, echoed.begin() + 8), (bytes{0, 0, 0, 7}));
    EXPECT_EQ(send({}), bytes{}); // empty: nothing goes down
    lpkt_set_mode(pkt, 2);        // unknown mode: no frame of undefined shape
    EXPECT_EQ(send(ack), bytes{});
}

// The idle programming layer on top ignores what passes, so the buffer shows
// what went up: the payload as data, nothing after a drop.
TEST_F(Stack, PacketsReceivedFollowThePeer)
{
    bytes flipped = plain_ack, four(plain_ack.begin(), plain_ack.begin() + 4);
    flipped[1] ^= 1;
    uint8_t f[32];
    bytes five(f, f + make_frame(f, "Z", 1, false, 0, 0));
    bytes short_tagged = {1, 2, 3, 0, 0, 0, 0}; // CRC right, no room for the header
    put_be32(&short_tagged[3], crc32_block(short_tagged.data(), 3));
    const struct {
        int32_t mode;
        bytes frame;
        uint32_t tag;
        int32_t mode_after;
        bytes up;
    } cases[] = {
        {LPKT_PLAIN, plain_ack, 0, LPKT_PLAIN, ack},
        {LPKT_TAGGED, plain_ack, 0, LPKT_PLAIN, {}},
        {LPKT_PLAIN, tagged_ack, 0, LPKT_TAGGED, {}},
        {LPKT_TAGGED, tagged_ack, 0, LPKT_TAGGED, ack},
        {LPKT_TAGGED, tagged_ack, 5, LPKT_TAGGED, {}},
        {LPKT_PLAIN, five, 0, LPKT_PLAIN, {'Z'}},
        {LPKT_TAGGED, four, 0, LPKT_TAGGED, four},
        {LPKT_PLAIN, flipped, 0, LPKT_PLAIN, {}},
        {LPKT_TAGGED, short_tagged, 0, LPKT_TAGGED, {}},
        {2, plain_ack, 0, 2, {}},
    };
    for (const auto &c : cases) {
        lpkt_set_mode(pkt, c.mode);
        lpkt_set_tag(pkt, c.tag);
        lpkt_set_peer_tag(pkt, 0x55);
        deliver(c.frame.data(), int(c.frame.size()));
        EXPECT_EQ(lpkt_mode(pkt), c.mode_after) << &c - cases;
        EXPECT_EQ(bytes(mlb_data(buf), mlb_data(buf) + mlb_length(buf)), c.up) << &c - cases;
        bool tag_learnt = c.mode == LPKT_TAGGED && !c.up.empty() && c.frame.size() > 4;
        EXPECT_EQ(lpkt_peer_tag(pkt), tag_learnt ? 0u : 0x55u) << &c - cases;
    }
}

TEST_F(Stack, WholeRunWhenEveryCommandIsAcknowledged)
{
    start();
    int steps = 0;
    while (!lprog_done(prog) && steps < 1000) {
        step();
        EXPECT_EQ(lprog_done(prog), ++steps == 243 ? 1 : 0);
    }
    ASSERT_EQ(steps, 243);
    // The commands' bytes are the simulator's to judge, strictly, in every end
    // to end run; here the console text the run tells as it goes.
    std::string want = "Erasing...Waiting for erase complete...";
    char line[64];
    for (uint32_t i = 0; i <= 238; ++i) { // 238 chunks, then the first again
        std::snprintf(line, sizeof line, "\rProgramming %4lx\r", i < 238 ? i * 256ul : 0ul);
        want += line;
    }
    const bytes &rtc = log[241]; // its CRC follows
    std::snprintf(line, sizeof line, "\rSetting time to %04d-%02d-%02d %02d:%02d:%02d\r",
                  rtc[8] + 2000, rtc[9], rtc[10], rtc[11], rtc[12], rtc[13]);
    EXPECT_EQ(text, want + line + "\nRESET\n");
    EXPECT_EQ(progress[239].done, 0xED00u);
    step(); // after the run: nothing is sent, done stays
    EXPECT_EQ(log.size(), 243u);
    EXPECT_EQ(lprog_done(prog), 1);
}

// Whatever goes wrong with a reply, the next step sends the same command; the
// run goes on once an acknowledgement arrives.
TEST_F(Stack, FailedRepliesRepeatTheCommand)
{
    start();
    for (int i = 0; i < 4; ++i)
        step(); // ERASE, the poll, two chunks
    const std::vector<Reply> faults[] = {
        {Reply::None}, {Reply::BadCrc}, {Reply::NotAck},
        {Reply::AckX}, {Reply::Lower},  {Reply::ToTagged, Reply::ForeignTag, Reply::ToPlain}};
    uint32_t start_address = 0x200;
    for (const auto &seq : faults) {
        bytes first;
        for (Reply r : seq) {
            next = r;
            step();
            first = first.empty() ? command() : first;
            EXPECT_EQ(command(), first) << int(r);
        }
        step();
        EXPECT_EQ(command(), first);
        EXPECT_EQ(get_le32(&first[8]), start_address);
        start_address += 0x100;
    }
    step(); // the last "ACK", in the kind the device went back to, moved the run
    EXPECT_EQ(get_le32(&command()[8]), start_address);
    start(); // a second ERASE after PROGRAMs still sends zeros after its word
    step();
    EXPECT_EQ(command(), cmd("ERASE", {0, 0xED80}));

    lprog_start(prog, image.data(), 512, 0, 256); // two whole chunks, then the first again
    for (int i = 0; i < 5; ++i)
        step();
    bytes again = command();
    again.resize(16);
    EXPECT_EQ(again, cmd("PROGRAM", {0, 0x100}));
}

TEST_F(Stack, ExchangesAllocateNothing)
{
    start();
    record = false;
    step();
    uint64_t zallocs = zmk_zalloc_count();
    long before = news_count();
    const Reply mix[] = {Reply::Ack,    Reply::None,    Reply::ToTagged, Reply::Ack,
                         Reply::BadCrc, Reply::ToPlain, Reply::NotAck};
    for (int i = 0; i < 1500; ++i) {
        next = mix[i % 7];
        step();
        if (lprog_done(prog))
            start();
    }
    EXPECT_EQ(news_count() - before, 0);
    EXPECT_EQ(zmk_zalloc_count() - zallocs, 0u);
}

// The clock record never carries what it cannot hold: times outside
// 2000..2255, or no time at all, become the nearest moment it can carry.
TEST(LprogClock, RecordHoldsOnlyTimesItCanCarry)
{
    auto record = [](const std::tm *local) {
        uint8_t r[8];
        std::tm sent{};
        lprog_clock_record(local, r, &sent);
        return bytes(r, r + 8);
    };
    std::tm t{};
    t.tm_year = 126, t.tm_mon = 11, t.tm_mday = 7, t.tm_hour = 3, t.tm_min = 4, t.tm_sec = 5;
    EXPECT_EQ(record(&t), (bytes{26, 12, 7, 3, 4, 5, 0, 0}));
    t.tm_sec = 60; // a leap second
    EXPECT_EQ(record(&t)[5], 59);
    t.tm_year = 99; // 1999
    EXPECT_EQ(record(&t), (bytes{0, 1, 1, 0, 0, 0, 0, 0}));
    t.tm_year = 356; // 2256
    EXPECT_EQ(record(&t), (bytes{255, 12, 31, 23, 59, 59, 0, 0}));
    EXPECT_EQ(record(nullptr), (bytes{0, 1, 1, 0, 0, 0, 0, 0}));
}
