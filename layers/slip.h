// SLIP framing (RFC 1055): the one encoder and decoder of the project, used by
// the link layer, the device simulator, the tests and the benchmark. Both work
// on caller buffers and allocate nothing.
#pragma once

#include <cstdint>

enum : uint8_t {
    SLIP_END = 0xC0,     // opens and closes every frame sent; closes a frame received
    SLIP_ESC = 0xDB,     // the next byte is an escape code
    SLIP_ESC_END = 0xDC, // after ESC: the content byte 0xC0
    SLIP_ESC_ESC = 0xDD, // after ESC: the content byte 0xDB
};

// The encoded size of n content bytes when every one of them is escaped.
constexpr int slip_encoded_max(int n) { return 2 * n + 2; }

// Writes `n` content bytes as one frame into dest: END, the content with END
// and ESC escaped, END. Returns the encoded length; -1 (dest unspecified)
// when n is negative or the frame would not fit in `cap` bytes.
int slip_encode(const uint8_t *src, int n, uint8_t *dest, int cap);

// Decodes a byte stream one byte at a time into `dest`. END bytes before any
// content (leading ENDs, empty frames) are skipped. ESC followed by a byte
// other than ESC_END or ESC_ESC gives that byte as content, as RFC 1055 does,
// and is remarked in `odd_escape` for a strict reader.
struct slip_decoder {
    uint8_t *dest;
    int cap;
    int count;       // content bytes of the frame so far
    bool esc;        // the last byte was ESC
    bool odd_escape; // this frame had ESC before a byte it does not escape
    bool ended;      // the last byte ended a frame; the next one starts afresh
};

enum slip_result {
    SLIP_MORE,  // the frame goes on
    SLIP_FRAME, // the byte ended a frame of `count` content bytes
    SLIP_FULL,  // the byte would have filled dest: the frame is given up
};

void slip_decoder_init(slip_decoder *t, uint8_t *dest, int cap);
// Starts the next frame: what was collected is forgotten.
void slip_decoder_reset(slip_decoder *t);
// Takes one byte. After SLIP_FRAME, `count` bytes of dest hold the frame until
// the next call; after SLIP_FULL the decoder has started afresh. A byte is
// never stored at or past dest[cap - 1], so the frame that fills dest whole is
// given up rather than delivered.
slip_result slip_decode(slip_decoder *t, uint8_t byte);
