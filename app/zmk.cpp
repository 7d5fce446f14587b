#include "app/zmk.h"

#include "app/frontend.h"
#include "framework/zassert.h"
#include "layers/lpkt.h"
#include "layers/lprog.h"
#include "layers/ser.h"
#include "layers/stack.h"
#include "platform/port_error.h"
#include "platform/resource.h"
#include "platform/syserror.h"
#include "platform/tick.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

flasher_t flasher;
char status_text[128];

namespace {

constexpr uint32_t run_address = 0;
// Images this small are written to the top of flash instead.
constexpr uint32_t small_image_max = 255;
constexpr uint32_t small_image_address = 0x1FF000;

constexpr int fatal_text_size = 1000;
constexpr char fatal_closing[] = "\n\n The program will now abort\n\n\n";
// The body stops here so that the closing text and its NUL always fit.
constexpr int fatal_body_limit = fatal_text_size - int(sizeof fatal_closing);

// Appends printf-style text at text[len], never past `limit` characters.
void append(char *text, int &len, int limit, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

void append(char *text, int &len, int limit, const char *fmt, ...)
{
    if (len >= limit)
        return;
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(text + len, size_t(limit - len + 1), fmt, ap);
    va_end(ap);
    if (n > 0)
        len += std::min(n, limit - len);
}

// The command the current exchange sent, for its answer's event.
zmk_event sent{};

void tell(const zmk_event &e)
{
    const zmk_frontend *fe = frontend_get();
    fe->event(fe->event_ctx, &e);
}

void on_sent(void *ctx, const lprog_progress *p, const char *text)
{
    sent = zmk_event{ZMK_SENT, p->state, p->address, p->done, p->total, ZMK_NONE, text, ZMK_GOING};
    verdict_sent(&static_cast<flasher_t *>(ctx)->watch, &sent, platform_tick_ms());
    tell(sent);
    sent.text = ""; // the line lives only as long as the call that made it
}

zmk_answer answer_of(const flasher_t *t)
{
    if (ser_outcome(t->stack->bottom) == PORT_GONE)
        return ZMK_GONE;
    switch (lprog_answer(t->prog)) {
    case LPROG_ANSWER_ACK: return ZMK_ACK;
    case LPROG_ANSWER_OTHER: return ZMK_OTHER;
    default: return ZMK_NONE;
    }
}

// How the run stands after an answer: a waiting state is told when it
// begins and once a second while it lasts; a failure ends the run.
void judge(flasher_t *t, const zmk_event &answered)
{
    const uint32_t now = platform_tick_ms();
    const zmk_verdict v = verdict_answer(&t->watch, &answered, now, t->limits);
    if (v == ZMK_GOING || (v == t->told && now - t->told_ms < 1000)) {
        t->told = v;
        return;
    }
    char text[200];
    verdict_format(&t->watch, v, now, t->limits, text, sizeof text);
    zmk_event e = answered;
    e.kind = v >= ZMK_SILENT ? ZMK_FAILED : ZMK_WAITING;
    e.verdict = v;
    e.text = text;
    t->told = v;
    t->told_ms = now;
    if (e.kind == ZMK_FAILED) {
        t->failed = v;
        frontend_get()->tone(200, 1000);
        set_status("%s", verdict_status_word(v));
    }
    tell(e);
}

} // namespace

int flasher_open(flasher_t *t)
{
    if (t->opened)
        return 0;
    const zmk_frontend *fe = frontend_get();

    // The name may come from a typed-in field; keep the line bounded.
    char line[320];
    std::snprintf(line, sizeof line, " . Opening serial port %.256s at %ld baud\n",
                  t->port_name ? t->port_name : "", t->baud);
    fe->console(line);

    t->handle = t->port_name ? port_open(t->port_name) : nullptr;
    if (!t->handle) {
        const port_error_kind why = port_error_classify(platform_last_error());
        return why != PORT_ERR_NONE ? why : PORT_ERR_OTHER;
    }
    // A port that refuses its settings is used as it is.
    ser_configure(t->handle, uint32_t(t->baud), STACK_READ_TIMEOUT_US);

    uint32_t length = 0;
    const uint8_t *image;
    if (t->image_override) {
        image = t->image_override;
        length = t->image_override_size;
    } else {
        image = resource_find("binfile", &length);
    }
    t->filebuf = const_cast<uint8_t *>(image);
    ZMK_ASSERT(t->filebuf);
    t->filebuf = static_cast<uint8_t *>(std::malloc(length ? length : 1));
    ZMK_ASSERT(t->filebuf);
    std::memcpy(t->filebuf, image, length);
    ZMK_ASSERT(length);

    std::snprintf(line, sizeof line, "\nFlash Image Size %lx\n",
                  static_cast<unsigned long>(length));
    fe->console(line);

    layer_t *link = layer_new();
    ser_attach(link, t->handle, uint32_t(t->baud));
    reply_times_init(&t->replies);
    run_stack built{};
    stack_build(&built, link);
    t->stack = built.stack;
    t->buf = built.buf;
    t->prog = built.prog;
    lprog_set_hook(t->prog, on_sent, t);

    if (length <= small_image_max)
        t->address = small_image_address;
    lprog_start(t->prog, t->filebuf, length, t->address, t->chunk);
    verdict_init(&t->watch, platform_tick_ms()); // the run's clock starts here
    t->opened = 1;
    return 0;
}

int flasher_step(flasher_t *t)
{
    if (!t->opened || t->failed != ZMK_GOING)
        return 0;
    mlb_reset(t->buf, 0, STACK_HEADROOM);
    plm_tx(t->stack, t->buf);
    plm_rx(t->stack, t->buf);
    if (const int32_t us = ser_reply_us(t->stack->bottom); us >= 0)
        reply_times_add(&t->replies, uint32_t(us));
    zmk_event answered = sent;
    answered.kind = ZMK_ANSWER;
    answered.answer = answer_of(t);
    answered.text = answered.answer == ZMK_OTHER ? lprog_answer_text(t->prog) : "";
    tell(answered);
    judge(t, answered);
    return lprog_done(t->prog);
}

int flasher_start(flasher_t *t, const char *port_name, const uint8_t *image, uint32_t image_size,
                  const zmk_limits *limits)
{
    if (t->opened)
        return 0;
    t->port_name = port_name;
    t->baud = STACK_BAUD;
    t->chunk = STACK_CHUNK;
    t->address = run_address;
    t->image_override = image;
    t->image_override_size = image ? image_size : 0;
    t->limits = limits ? *limits : zmk_limits{};
    if (const int why = flasher_open(t))
        return why;
    set_status("Programming...");
    return 0;
}

int flasher_tick(flasher_t *t)
{
    if (t->failed != ZMK_GOING)
        return -1;
    if (!flasher_step(t))
        return t->failed != ZMK_GOING ? -1 : 0;
    if (!t->finished) {
        t->finished = 1;
        frontend_get()->tone(2000, 100);
        set_status("Done");
        zmk_event done = sent;
        done.kind = ZMK_DONE;
        done.done = done.total;
        tell(done);
    }
    return 1;
}

void fatal_error(const char *msg)
{
    // The system's own last error, taken first, before any call below can
    // replace it: whatever failed (the port, the window class, the dialog)
    // left it there.
    const uint32_t code = platform_last_error();
    char text[fatal_text_size];
    int len = 0;
    append(text, len, fatal_body_limit, "\n\nAn Error has occurred as follows:\n");
    append(text, len, fatal_body_limit, "          %s\n", msg);
    if (code != 0) {
        append(text, len, fatal_body_limit, "Error number %ld reported\n", static_cast<long>(code));
        // A description too long for the room left is cut, not dropped.
        char desc[4096];
        const int n =
            std::clamp(platform_error_text(code, desc, sizeof desc), 0, int(sizeof desc) - 1);
        const int take = std::min(n, fatal_body_limit - len);
        std::memcpy(text + len, desc, size_t(take));
        len += take;
    }
    std::memcpy(text + len, fatal_closing, sizeof fatal_closing);

    const zmk_frontend *fe = frontend_get();
    fe->message_box(text, "Terminate Program");
    fe->tone(200, 1000);
    fe->exit_process(1);
    std::exit(1);
}

int set_status(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    // vsnprintf cuts a longer line at 127 characters.
    std::vsnprintf(status_text, sizeof status_text, fmt, ap);
    va_end(ap);
    return frontend_get()->status(status_text);
}
