// One viewer's connection: requests read by Beast's parser within the
// limits, each answered, until the viewer leaves, errs or idles.
#include "app/page/server_impl.h"

#include <charconv>

namespace {

asio::ip::address unmapped(const asio::ip::address &a)
{
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    return a;
}

void read_next(const ui_session_ptr &s);

void drop_rest(const ui_session_ptr &s)
{
    s->stream.async_read_some(asio::buffer(s->sink), [s](const beast::error_code &ec, size_t) {
        if (ec)
            return ui_session_close(s.get());
        drop_rest(s);
    });
}

// The answer is out and the connection ends: what the viewer still sends
// (the rest of an oversized request) is read and dropped for a moment, so
// that closing does not reset the connection under the answer.
void linger(const ui_session_ptr &s)
{
    beast::error_code ec;
    s->stream.socket().shutdown(tcp::socket::shutdown_send, ec);
    s->stream.expires_after(std::chrono::milliseconds(1000)); // for all of it
    drop_rest(s);
}

// The answer to fill in before send().
http::response<http::string_body> &answer(const ui_session_ptr &s, http::status status,
                                          std::string body, const char *type)
{
    http::response<http::string_body> &a = s->answer;
    a = {};
    a.version(11);
    a.result(status);
    a.set(http::field::content_type, type);
    a.set(http::field::cache_control, "no-store");
    a.set("X-Zmk-Local", s->local ? "true" : "false");
    a.body() = std::move(body);
    return a;
}

// Sends the answer; then the next request, unless either side closes.
void send(const ui_session_ptr &s, bool close)
{
    close = close || !s->parser->is_header_done() || !s->parser->get().keep_alive();
    s->answer.keep_alive(!close);
    s->answer.prepare_payload();
    s->stream.expires_after(std::chrono::milliseconds(UI_WRITE_MS));
    http::async_write(s->stream, s->answer, [s, close](const beast::error_code &ec, size_t) {
        if (ec)
            return ui_session_close(s.get());
        if (close)
            return linger(s);
        read_next(s);
    });
}

void send(const ui_session_ptr &s, http::status status, std::string body, const char *type)
{
    answer(s, status, std::move(body), type);
    send(s, false);
}

void error(const ui_session_ptr &s, http::status status, const std::string &why, bool close)
{
    answer(s, status, why + "\n", "text/plain; charset=utf-8");
    send(s, close);
}

// `after=N` of the query; false when it is there but no number.
bool after_of(std::string_view query, uint64_t *after)
{
    *after = 0;
    for (size_t at = 0; at <= query.size();) {
        size_t end = query.find('&', at);
        end = end == query.npos ? query.size() : end;
        const std::string_view pair = query.substr(at, end - at);
        if (pair.substr(0, 6) == "after=") {
            const char *first = pair.data() + 6, *last = pair.data() + pair.size();
            const auto r = std::from_chars(first, last, *after);
            if (first == last || r.ec != std::errc() || r.ptr != last)
                return false;
        }
        at = end + 1;
    }
    return true;
}

void records(const ui_session_ptr &s, std::string_view query)
{
    uint64_t after = 0;
    if (!after_of(query, &after))
        return error(s, http::status::bad_request, "after=N takes a record number", false);
    std::vector<ui_text> lines;
    uint64_t from = 0, last = 0;
    {
        std::lock_guard<std::mutex> hold(s->srv->records_lock);
        ui_server &t = *s->srv;
        last = t.records_first + t.records.size() - 1;
        from = std::max(after + 1, t.records_first);
        for (uint64_t n = from; n <= last && lines.size() < UI_RECORDS_PER_ANSWER; ++n)
            lines.push_back(t.records[n - t.records_first]);
    }
    std::string body;
    for (const ui_text &l : lines)
        body += *l + "\n";
    auto &a = answer(s, http::status::ok, std::move(body), "application/x-ndjson");
    a.set("X-Zmk-Last", std::to_string(last));
    if (!lines.empty())
        a.set("X-Zmk-Records",
              std::to_string(from) + "-" + std::to_string(from + lines.size() - 1));
    send(s, false);
}

// Only a viewer on this machine, and never a page of another site in its
// browser (its Origin differs from the Host it sent to).
void press(const ui_session_ptr &s, ui_request what)
{
    const auto &req = s->parser->get();
    const auto origin = req.find(http::field::origin);
    const bool foreign =
        origin != req.end() && origin->value() != "http://" + std::string(req[http::field::host]);
    if (!s->local || foreign)
        return error(s, http::status::forbidden,
                     "Stop and Resume are for the station's own machine", false);
    s->srv->request = what;
    send(s, http::status::no_content, "", "text/plain");
}

void route(const ui_session_ptr &s)
{
    const auto &req = s->parser->get();
    const std::string_view target(req.target().data(), req.target().size());
    const size_t q = target.find('?');
    const std::string_view path = target.substr(0, q);
    const std::string_view query = q == target.npos ? "" : target.substr(q + 1);
    const bool get = req.method() == http::verb::get, post = req.method() == http::verb::post;
    ui_server &t = *s->srv;
    if (path == "/" && get)
        return send(s, http::status::ok, s->local ? t.page_local : t.page_remote,
                    "text/html; charset=utf-8");
    if (path == "/events" && get)
        return ui_events_start(s);
    if (path == "/api/status" && get) {
        ui_text doc;
        {
            std::lock_guard<std::mutex> hold(t.lock);
            doc = t.status;
        }
        return send(s, http::status::ok, *doc, "application/json");
    }
    if (path == "/api/records" && get)
        return records(s, query);
    if (path == "/metrics" && get) {
        ui_text text;
        {
            std::lock_guard<std::mutex> hold(t.lock);
            text = t.metrics;
        }
        return send(s, http::status::ok, *text, "text/plain; version=0.0.4");
    }
    if ((path == "/api/stop" || path == "/api/resume") && post)
        return press(s, path == "/api/stop" ? UI_STOP : UI_RESUME);
    for (const char *known : {"/", "/events", "/api/status", "/api/records", "/metrics"})
        if (path == known)
            return error(s, http::status::method_not_allowed, "only GET", false);
    if (path == "/api/stop" || path == "/api/resume")
        return error(s, http::status::method_not_allowed, "only POST", false);
    error(s, http::status::not_found, "no such page", false);
}

void on_read(const ui_session_ptr &s, const beast::error_code &ec)
{
    if (ec == http::error::header_limit)
        return error(s, http::status::request_header_fields_too_large, "request head too large",
                     true);
    if (ec == http::error::body_limit)
        return error(s, http::status::payload_too_large, "request body too large", true);
    if (ec && ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message)
        return error(s, http::status::bad_request, "malformed request: " + ec.message(), true);
    if (ec) // the viewer left, or took too long
        return ui_session_close(s.get());
    if (s->over)
        return error(s, http::status::service_unavailable, "too many viewers; try again later",
                     true);
    route(s);
}

void read_next(const ui_session_ptr &s)
{
    s->parser.emplace();
    s->parser->header_limit(UI_HEADER_MAX);
    s->parser->body_limit(UI_BODY_MAX);
    s->stream.expires_after(std::chrono::milliseconds(UI_REQUEST_MS));
    http::async_read(s->stream, s->buffer, *s->parser,
                     [s](const beast::error_code &ec, size_t) { on_read(s, ec); });
}

} // namespace

bool ui_peer_local(const tcp::socket &socket)
{
    beast::error_code e1, e2;
    const asio::ip::address peer = unmapped(socket.remote_endpoint(e1).address());
    const asio::ip::address self = unmapped(socket.local_endpoint(e2).address());
    if (e1 || e2)
        return false;
    return peer == asio::ip::make_address("127.0.0.1") ||
           peer == asio::ip::address_v6::loopback() || peer == self;
}

ui_session::ui_session(ui_server *s, tcp::socket &&socket, bool is_local, bool is_over)
    : srv(s), stream(std::move(socket)), local(is_local), over(is_over),
      buffer(UI_HEADER_MAX + UI_BODY_MAX + 4096), deadline(*s->io)
{
    ++(over ? srv->refusing : srv->connections);
}

ui_session::~ui_session()
{
    srv->streams.erase(this);
    --(over ? srv->refusing : srv->connections);
}

void ui_session_start(ui_server *srv, tcp::socket &&socket, bool over)
{
    const bool local = ui_peer_local(socket);
    read_next(std::make_shared<ui_session>(srv, std::move(socket), local, over));
}

void ui_session_close(ui_session *s)
{
    if (!s->open)
        return;
    s->open = false;
    s->srv->streams.erase(s);
    beast::error_code ec;
    s->stream.socket().shutdown(tcp::socket::shutdown_both, ec);
    s->stream.socket().close(ec);
    s->deadline.cancel();
}
