#include "layers/lprog.h"

#include "framework/bytes.h"
#include "framework/mlb.h"
#include "framework/zalloc.h"
#include "framework/zassert.h"

#include <cstdio>
#include <cstring>
#include <ctime>

struct lprog_priv {
    uint32_t state;
    const uint8_t *image; // not owned; unchanged until the run is done
    uint32_t address;     // flash address of the image's first byte
    uint32_t size;
    const uint8_t *cursor; // first byte of the chunk the next PROGRAM carries
    int32_t chunk;
    uint8_t done;
    uint32_t answer; // LPROG_ANSWER_* to the command last sent
    char answer_text[LPROG_ANSWER_TEXT];
    // Where the console texts go.
    lprog_hook hook;
    void *hook_ctx;
};

namespace {

lprog_priv *priv(const layer_t *t) { return static_cast<lprog_priv *>(t->p_); }

void default_hook(void *, const lprog_progress *, const char *text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

constexpr uint8_t ack[4] = {'A', 'C', 'K', 0};

// The 8-byte name field: the word and its zero byte, then zeros. Without the
// padding, "ERASE" and "RESET" would send whatever an earlier command or
// reply left at those two positions of the reused buffer.
void put_name(mlb_t *buffer, const char *word)
{
    uint8_t *p = mlb_put_tail(buffer, 8);
    size_t n = std::strlen(word) + 1;
    std::memcpy(p, word, n);
    std::memset(p + n, 0, 8 - n);
}

void put_word(mlb_t *buffer, uint32_t value) { put_le32(mlb_put_tail(buffer, 4), value); }

uint32_t offset_of_cursor(const lprog_priv *p) { return uint32_t(p->cursor - p->image); }

// PROGRAM with the chunk at the cursor. The image supplies at most what is
// left of it; the rest of the chunk is 0xFF, the erased state of flash, so
// that stretch stays as it was and nothing past the image is read.
uint32_t put_program(lprog_priv *p, mlb_t *buffer)
{
    uint32_t start = p->address + offset_of_cursor(p);
    put_name(buffer, "PROGRAM");
    put_word(buffer, start);
    put_word(buffer, start + uint32_t(p->chunk));
    uint8_t *data = mlb_put_tail(buffer, p->chunk);
    uint32_t left = p->size - offset_of_cursor(p);
    uint32_t n = left < uint32_t(p->chunk) ? left : uint32_t(p->chunk);
    if (n)
        std::memcpy(data, p->cursor, n);
    std::memset(data + n, 0xFF, uint32_t(p->chunk) - n);
    return start;
}

uint32_t bytes_done(const lprog_priv *p)
{
    switch (p->state) {
    case LPROG_PROGRAM: return offset_of_cursor(p);
    case LPROG_REWRITE_FIRST:
    case LPROG_SET_CLOCK:
    case LPROG_RESET: return p->size;
    default: return 0;
    }
}

void report(lprog_priv *p, uint32_t address, const char *text)
{
    lprog_progress progress{p->state, address, bytes_done(p), p->size};
    p->hook(p->hook_ctx, &progress, text);
}

// Keeps the answer's leading text for a person to read: up to its first NUL,
// anything unprintable as '?'.
void keep_answer_text(lprog_priv *p, const uint8_t *data, int32_t n)
{
    int i = 0;
    for (; i < n && i < LPROG_ANSWER_TEXT - 1 && data[i] != 0; ++i)
        p->answer_text[i] = data[i] >= 0x20 && data[i] < 0x7F ? char(data[i]) : '?';
    p->answer_text[i] = 0;
}

int clamp_field(int value, int low, int high)
{
    return value < low ? low : value > high ? high : value;
}

void put_clock(lprog_priv *p, mlb_t *buffer)
{
    std::time_t now = std::time(nullptr);
    const std::tm *lt = now == std::time_t(-1) ? nullptr : std::localtime(&now);
    uint8_t record[8];
    std::tm sent{};
    lprog_clock_record(lt, record, &sent);
    put_name(buffer, "RTC_SET");
    std::memcpy(mlb_put_tail(buffer, 8), record, 8);
    std::memcpy(mlb_put_tail(buffer, 8), record, 8);
    char text[64];
    std::snprintf(text, sizeof text, "\rSetting time to %04d-%02d-%02d %02d:%02d:%02d\r",
                  sent.tm_year + 1900, sent.tm_mon + 1, sent.tm_mday, sent.tm_hour, sent.tm_min,
                  sent.tm_sec);
    report(p, 0, text);
}

} // namespace

layer_t *lprog_new()
{
    auto *t = static_cast<layer_t *>(zmk_zalloc(sizeof(layer_t)));
    ZMK_ASSERT(t);
    t->p_ = zmk_zalloc(sizeof(lprog_priv));
    ZMK_ASSERT(t->p_);
    priv(t)->hook = default_hook;
    return t;
}

void lprog_free(layer_t *t)
{
    if (!t)
        return;
    zmk_free(t->p_);
    zmk_free(t);
}

void lprog_init(layer_t *t)
{
    layer_init(t);
    t->tx = lprog_tx;
    t->rx = lprog_rx;
    priv(t)->image = nullptr;
}

void lprog_start(layer_t *t, const uint8_t *image, uint32_t size, uint32_t address, int32_t chunk)
{
    ZMK_ASSERT(chunk > 0);
    ZMK_ASSERT(image != 0 || size == 0);
    lprog_priv *p = priv(t);
    p->image = image;
    p->cursor = image;
    p->size = size;
    p->address = address;
    p->chunk = chunk;
    p->state = LPROG_ERASE;
    p->done = 0;
}

int lprog_done(const layer_t *t) { return priv(t)->done; }

void lprog_set_hook(layer_t *t, lprog_hook hook, void *ctx)
{
    priv(t)->hook = hook ? hook : default_hook;
    priv(t)->hook_ctx = hook ? ctx : nullptr;
}

void lprog_tx(layer_t *t, mlb_t *buffer)
{
    lprog_priv *p = priv(t);
    p->answer = LPROG_ANSWER_NONE;
    p->answer_text[0] = 0;
    char text[64];
    switch (p->state) {
    case LPROG_ERASE:
        put_name(buffer, "ERASE");
        put_word(buffer, p->address);
        put_word(buffer, p->address + p->size);
        report(p, 0, "Erasing...");
        break;
    case LPROG_WAIT_ERASE:
        put_name(buffer, "PROGRAM");
        put_word(buffer, 0);
        put_word(buffer, 0);
        report(p, 0, "Waiting for erase complete...");
        break;
    case LPROG_PROGRAM:
    case LPROG_REWRITE_FIRST: {
        uint32_t start = put_program(p, buffer);
        std::snprintf(text, sizeof text, "\rProgramming %4lx\r", static_cast<unsigned long>(start));
        report(p, start, text);
        break;
    }
    case LPROG_SET_CLOCK: put_clock(p, buffer); break;
    case LPROG_RESET:
        report(p, 0, "\nRESET\n");
        put_name(buffer, "RESET");
        break;
    default: break; // idle: the buffer goes down empty and nothing is sent
    }
    if (t->lower && t->lower->tx)
        t->lower->tx(t->lower, buffer);
}

void lprog_rx(layer_t *t, mlb_t *buffer)
{
    mlb_pull_header(buffer, 0);
    mlb_trim_tail(buffer, 0);
    lprog_priv *p = priv(t);
    // Only packets that passed the check below come up: each is a sign of life.
    if (mlb_length(buffer) < 4 || std::memcmp(mlb_data(buffer), ack, 4) != 0) {
        p->answer = LPROG_ANSWER_OTHER;
        keep_answer_text(p, mlb_data(buffer), mlb_length(buffer));
        return;
    }
    p->answer = LPROG_ANSWER_ACK;
    switch (p->state) {
    case LPROG_ERASE: p->state = LPROG_WAIT_ERASE; break;
    case LPROG_WAIT_ERASE: p->state = LPROG_PROGRAM; break;
    case LPROG_PROGRAM:
        // Compare what is left rather than step the cursor past the image.
        if (uint32_t(p->chunk) >= p->size - offset_of_cursor(p)) {
            p->cursor = p->image;
            p->state = LPROG_REWRITE_FIRST;
        } else {
            p->cursor += p->chunk;
        }
        break;
    case LPROG_REWRITE_FIRST: p->state = LPROG_SET_CLOCK; break;
    case LPROG_SET_CLOCK: p->state = LPROG_RESET; break;
    case LPROG_RESET:
        p->state = LPROG_IDLE;
        p->done = 1;
        break;
    default: break;
    }
}

uint32_t lprog_answer(const layer_t *t) { return priv(t)->answer; }

const char *lprog_answer_text(const layer_t *t) { return priv(t)->answer_text; }

void lprog_clock_record(const std::tm *local, uint8_t record[8], std::tm *sent)
{
    // No time, or one before 2000: the record's first moment.
    std::tm tm{};
    tm.tm_year = 100;
    tm.tm_mday = 1;
    if (local && local->tm_year > 355) {
        tm.tm_year = 355, tm.tm_mon = 11, tm.tm_mday = 31;
        tm.tm_hour = 23, tm.tm_min = 59, tm.tm_sec = 59;
    } else if (local && local->tm_year >= 100) {
        tm.tm_year = local->tm_year;
        tm.tm_mon = clamp_field(local->tm_mon, 0, 11);
        tm.tm_mday = clamp_field(local->tm_mday, 1, 31);
        tm.tm_hour = clamp_field(local->tm_hour, 0, 23);
        tm.tm_min = clamp_field(local->tm_min, 0, 59);
        tm.tm_sec = clamp_field(local->tm_sec, 0, 59); // a leap second as :59
    }
    const uint8_t r[8] = {uint8_t(tm.tm_year - 100),
                          uint8_t(tm.tm_mon + 1),
                          uint8_t(tm.tm_mday),
                          uint8_t(tm.tm_hour),
                          uint8_t(tm.tm_min),
                          uint8_t(tm.tm_sec),
                          0,
                          0};
    std::memcpy(record, r, 8);
    if (sent)
        *sent = tm;
}

const char *lprog_command_name(uint32_t state)
{
    switch (state) {
    case LPROG_ERASE: return "ERASE";
    case LPROG_WAIT_ERASE:
    case LPROG_PROGRAM:
    case LPROG_REWRITE_FIRST: return "PROGRAM";
    case LPROG_SET_CLOCK: return "RTC_SET";
    case LPROG_RESET: return "RESET";
    default: return "";
    }
}

const char *lprog_phase_name(uint32_t state)
{
    switch (state) {
    case LPROG_ERASE: return "Erasing";
    case LPROG_WAIT_ERASE: return "Waiting for erase";
    case LPROG_PROGRAM: return "Programming";
    case LPROG_REWRITE_FIRST: return "Rewriting first chunk";
    case LPROG_SET_CLOCK: return "Setting clock";
    case LPROG_RESET: return "Resetting";
    default: return "Done"; // idle again once RESET is acknowledged
    }
}
