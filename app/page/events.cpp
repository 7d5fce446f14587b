// The event stream of one viewer: the status as Server-Sent Events. Only
// the latest document is ever sent; a viewer that reads slowly skips what
// changed meanwhile, and one that takes nothing for UI_WRITE_MS is closed:
// nothing of what the system was handed for it (an event or a keep-alive)
// acknowledged, whether anything changes or not.
#include "app/page/server_impl.h"

#ifdef __linux__
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

namespace {

using clk = std::chrono::steady_clock;

// One event; a line end in the document starts another data line.
void event_of(const std::string &doc, std::string *out)
{
    *out += "data: ";
    for (char c : doc)
        if (c == '\n')
            *out += "\ndata: ";
        else if (c != '\r')
            *out += c;
    *out += "\n\n";
}

// A viewer never sends on its stream: anything, or its end, closes it.
void watch_for_end(const ui_session_ptr &s)
{
    s->stream.socket().async_read_some(
        asio::buffer(s->sink),
        [s](const beast::error_code &, size_t) { ui_session_close(s.get()); });
}

// What the system holds of the stream that the viewer has not acknowledged
// (sent or not). Where the system does not tell, 0: a viewer is then seen
// to take nothing only once the system's buffer is full and a write waits.
uint64_t unacknowledged(tcp::socket &socket)
{
#ifdef __linux__
    int n = 0;
    if (::ioctl(socket.native_handle(), SIOCOUTQ, &n) == 0 && n > 0)
        return uint64_t(n);
#else
    (void)socket;
#endif
    return 0;
}

void write_more(const ui_session_ptr &s)
{
    s->stream.socket().async_write_some(
        asio::buffer(s->out.data() + s->out_at, s->out.size() - s->out_at),
        [s](const beast::error_code &ec, size_t n) {
            s->out_at += n;
            s->handed += n;
            if (ec || !s->open)
                return ui_session_close(s.get());
            if (s->out_at < s->out.size())
                return write_more(s);
            s->writing = false;
            ui_events_push(s.get());
        });
}

} // namespace

void ui_events_start(const ui_session_ptr &s, bool head_only)
{
    http::response<http::empty_body> &h = s->head;
    h.version(11);
    h.result(http::status::ok);
    h.set(http::field::content_type, "text/event-stream");
    h.set(http::field::cache_control, "no-store");
    h.set(http::field::connection, "close"); // the stream ends when the connection does
    h.set("X-Zmk-Local", s->local ? "true" : "false");
    ui_guard_headers(h, UI_CSP_ANY);
    s->head_writer.emplace(h);
    s->writing = true;
    s->stream.expires_after(std::chrono::milliseconds(UI_WRITE_MS));
    http::async_write_header(
        s->stream, *s->head_writer, [s, head_only](const beast::error_code &ec, size_t n) {
            s->writing = false;
            s->stream.expires_never();
            if (ec || !s->open || head_only)
                return ui_session_close(s.get());
            // Little kept in the system for a viewer: one that reads slowly
            // gets the latest soon, and one that stops is noticed soon.
            beast::error_code e;
            s->stream.socket().set_option(asio::socket_base::send_buffer_size(UI_STREAM_BUFFER), e);
            s->handed = n;
            s->since = clk::now();
            s->srv->streams.insert(s.get());
            watch_for_end(s);
            ui_events_push(s.get());
        });
}

void ui_events_push(ui_session *s)
{
    if (s->writing || !s->open)
        return;
    ui_text doc;
    uint64_t version;
    {
        std::lock_guard<std::mutex> hold(s->srv->lock);
        doc = s->srv->status;
        version = s->srv->version;
    }
    if (version == s->sent && !s->ping && !s->first)
        return;
    // A restarted station is found again within a second or two.
    s->out = s->first ? "retry: 1000\n" : "";
    if (version != s->sent || s->first)
        event_of(*doc, &s->out);
    else
        s->out += "event: ping\ndata: \n\n"; // the page's sign that the stream lives
    s->sent = version;
    s->ping = s->first = false;
    s->out_at = 0;
    s->writing = true;
    // Nothing outstanding before this write: whether the viewer takes it
    // is timed from now; else from what it last took.
    if (unacknowledged(s->stream.socket()) == 0) {
        s->taken = s->handed;
        s->since = clk::now();
    }
    write_more(s->shared_from_this());
}

void ui_events_check(ui_session *s, clk::time_point now)
{
    if (!s->open)
        return;
    const uint64_t waiting = unacknowledged(s->stream.socket());
    const uint64_t taken = s->handed - std::min(waiting, s->handed);
    if (taken > s->taken) { // it moves, however slowly
        s->taken = taken;
        s->since = now;
    }
    if (!s->writing && waiting == 0) { // nothing outstanding
        s->since = now;
        return;
    }
    if (now - s->since >= std::chrono::milliseconds(UI_WRITE_MS))
        ui_session_close(s);
}
