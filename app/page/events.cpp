// The event stream of one viewer: the status as Server-Sent Events. Only
// the latest document is ever sent; a viewer that reads slowly skips what
// changed meanwhile, and one that takes nothing for UI_WRITE_MS is closed.
#include "app/page/server_impl.h"

namespace {

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

} // namespace

void ui_events_start(const ui_session_ptr &s)
{
    http::response<http::empty_body> &h = s->head;
    h.version(11);
    h.result(http::status::ok);
    h.set(http::field::content_type, "text/event-stream");
    h.set(http::field::cache_control, "no-store");
    h.set(http::field::connection, "close"); // the stream ends when the connection does
    h.set("X-Zmk-Local", s->local ? "true" : "false");
    s->head_writer.emplace(h);
    s->writing = true;
    s->stream.expires_after(std::chrono::milliseconds(UI_WRITE_MS));
    http::async_write_header(s->stream, *s->head_writer, [s](const beast::error_code &ec, size_t) {
        s->writing = false;
        s->stream.expires_never();
        if (ec || !s->open)
            return ui_session_close(s.get());
        // Little kept in the system for a viewer: one that reads slowly gets
        // the latest soon, and one that stops is noticed soon.
        beast::error_code e;
        s->stream.socket().set_option(asio::socket_base::send_buffer_size(UI_STREAM_BUFFER), e);
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
    s->writing = true;
    ui_session_ptr self = s->shared_from_this();
    s->deadline.expires_after(std::chrono::milliseconds(UI_WRITE_MS));
    s->deadline.async_wait([self](const beast::error_code &ec) {
        // Not a deadline since moved on by a finished write and a new one.
        if (!ec && self->deadline.expiry() <= asio::steady_timer::clock_type::now())
            ui_session_close(self.get());
    });
    asio::async_write(s->stream.socket(), asio::buffer(s->out),
                      [self](const beast::error_code &ec, size_t) {
                          self->writing = false;
                          self->deadline.cancel();
                          if (ec)
                              return ui_session_close(self.get());
                          ui_events_push(self.get());
                      });
}
