// One viewer's connection: requests read by Beast's parser within the
// limits, each answered, until the viewer leaves, errs or idles.
#include "app/page/server_impl.h"

#include <boost/beast/core/string.hpp>

#include <algorithm>
#include <charconv>
#include <limits>

namespace {

// Beast's own string_view (Boost's) as the standard one, and back.
std::string_view sv(beast::string_view v) { return {v.data(), v.size()}; }

bool same_text_ci(std::string_view a, std::string_view b)
{
    return beast::iequals(beast::string_view(a.data(), a.size()),
                          beast::string_view(b.data(), b.size()));
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
    ui_guard_headers(a, UI_CSP_ANY);
    a.body() = std::move(body);
    return a;
}

// Sends the answer; then the next request, unless either side closes. A
// 204 has no body, nor headers of one; an answer to HEAD has the headers
// of its body without it.
void send(const ui_session_ptr &s, bool close)
{
    close = close || !s->parser->is_header_done() || !s->parser->get().keep_alive();
    http::response<http::string_body> &a = s->answer;
    a.keep_alive(!close);
    if (a.result() == http::status::no_content) {
        a.body().clear();
        a.erase(http::field::content_type);
        a.content_length(boost::none);
    } else if (s->parser->is_header_done() && s->parser->get().method() == http::verb::head) {
        const size_t size = a.body().size();
        a.body().clear();
        a.content_length(size);
    } else {
        a.prepare_payload();
    }
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

http::response<http::string_body> &error_answer(const ui_session_ptr &s, http::status status,
                                                const std::string &why)
{
    return answer(s, status, why + "\n", "text/plain; charset=utf-8");
}

void error(const ui_session_ptr &s, http::status status, const std::string &why, bool close)
{
    error_answer(s, status, why);
    send(s, close);
}

// `after=N` of the query; false when it is there but no number. A number
// past what 64 bits hold is past every record: the largest.
bool after_of(std::string_view query, uint64_t *after)
{
    *after = 0;
    for (size_t at = 0; at <= query.size();) {
        size_t end = query.find('&', at);
        end = end == query.npos ? query.size() : end;
        const std::string_view pair = query.substr(at, end - at);
        if (pair.substr(0, 6) == "after=") {
            const std::string_view digits = pair.substr(6);
            if (digits.empty() || digits.find_first_not_of("0123456789") != digits.npos)
                return false;
            const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), *after);
            if (r.ec == std::errc::result_out_of_range)
                *after = std::numeric_limits<uint64_t>::max();
            else if (r.ec != std::errc())
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
        from = after < last ? std::max(after + 1, t.records_first) : last + 1; // no wrap
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

// Only a viewer on this machine, with the token of the page it was given,
// and never a page of another site in its browser (its Origin differs from
// the host it sent to). False when refused (and answered).
bool press_allowed(const ui_session_ptr &s, std::string_view host, const char *not_here,
                   const char *no_token)
{
    const auto &req = s->parser->get();
    const auto origin = req.find(http::field::origin);
    const bool foreign =
        origin != req.end() && !same_text_ci(sv(origin->value()), "http://" + std::string(host));
    if (!s->local || foreign) {
        error(s, http::status::forbidden, not_here, false);
        return false;
    }
    const auto token = req.find("X-Zmk-Token");
    if (token == req.end() || !ui_token_matches(s->srv->token, sv(token->value()))) {
        error(s, http::status::forbidden, no_token, false);
        return false;
    }
    return true;
}

std::string viewer_of(const ui_session_ptr &s)
{
    beast::error_code ec;
    const asio::ip::address a = ui_unmapped(s->stream.socket().remote_endpoint(ec).address());
    return ec ? "" : a.to_string();
}

void press(const ui_session_ptr &s, ui_request what, std::string_view host)
{
    if (!press_allowed(s, host, "Stop and Resume are for the station's own machine",
                       "Stop and Resume need the token of the station's page: reload the page"))
        return;
    {
        std::lock_guard<std::mutex> hold(s->srv->press_lock);
        s->srv->request = what;
        s->srv->request_viewer = viewer_of(s);
    }
    send(s, http::status::no_content, "", "");
}

// The body names the bay: its slot as the page shows it.
void clear_bay(const ui_session_ptr &s, std::string_view host)
{
    if (!press_allowed(s, host, "Clear is for the station's own machine",
                       "Clear needs the token of the station's page: reload the page"))
        return;
    const std::string &slot = s->parser->get().body();
    // It is shown on the operator's terminal: no control bytes.
    const auto control = [](unsigned char c) { return c < 0x20 || c == 0x7f; };
    if (slot.empty() || slot.size() > 200 || std::any_of(slot.begin(), slot.end(), control))
        return error(s, http::status::bad_request, "Clear takes the name of a bay", false);
    {
        std::lock_guard<std::mutex> hold(s->srv->press_lock);
        if (s->srv->clears.size() < UI_CLEARS_WAITING) {
            s->srv->clears.push_back(ui_clear{slot, viewer_of(s)});
            return send(s, http::status::no_content, "", "");
        }
    }
    error(s, http::status::service_unavailable, "too many Clears wait; try again", false);
}

// A target's parts: the host an absolute target names ("http://HOST/..."),
// "" for a path alone; its path and query. False when it is neither.
bool split_target(std::string_view target, std::string_view *authority, std::string_view *path,
                  std::string_view *query)
{
    *authority = {};
    const std::string_view scheme = "http://";
    if (target.size() > scheme.size() && same_text_ci(target.substr(0, scheme.size()), scheme)) {
        target.remove_prefix(scheme.size());
        const size_t end = std::min(target.find('/'), target.find('?'));
        *authority = target.substr(0, end);
        target = end == target.npos ? std::string_view() : target.substr(end);
        if (authority->empty() || authority->find('@') != authority->npos)
            return false; // no user's name before the host
    } else if (target.empty() || target.front() != '/') {
        return false;
    }
    const size_t q = target.find('?');
    *path = target.substr(0, q);
    *query = q == target.npos ? std::string_view() : target.substr(q + 1);
    if (path->empty())
        *path = "/";
    return true;
}

// The host the request was sent to ("" for none: HTTP/1.0 may send none),
// when it is this server's; else answered (400 or 421) and false.
bool host_of(const ui_session_ptr &s, std::string_view authority, std::string_view *host)
{
    const auto &req = s->parser->get();
    const size_t hosts = req.count(http::field::host);
    if (hosts > 1 || (hosts == 0 && req.version() >= 11)) {
        error(s, http::status::bad_request,
              hosts ? "more than one Host" : "a request of HTTP/1.1 names its Host", false);
        return false;
    }
    const std::string_view header = hosts ? sv(req[http::field::host]) : std::string_view();
    *host = authority.empty() ? header : authority;
    const auto ours = [&](std::string_view h) {
        switch (ui_host_check(*s->srv, s->reached, h)) {
        case UI_HOST_OK: return true;
        case UI_HOST_MALFORMED:
            error(s, http::status::bad_request, "the Host is no host name", false);
            return false;
        case UI_HOST_FOREIGN: break;
        }
        error(s, http::status::misdirected_request, "this is not the server of that host", false);
        return false;
    };
    return (authority.empty() || ours(authority)) && (hosts == 0 || ours(header));
}

std::string page_with_nonce(ui_server &t, const std::vector<std::string> &pieces,
                            std::string *nonce)
{
    *nonce = ui_random_hex(t.random, 16);
    std::string page;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i)
            page += " nonce=\"" + *nonce + "\"";
        page += pieces[i];
    }
    return page;
}

void not_allowed(const ui_session_ptr &s, const char *allow)
{
    error_answer(s, http::status::method_not_allowed, std::string("only ") + allow)
        .set(http::field::allow, allow);
    send(s, false);
}

void route(const ui_session_ptr &s)
{
    const auto &req = s->parser->get();
    std::string_view authority, path, query, host;
    if (!split_target(sv(req.target()), &authority, &path, &query))
        return error(s, http::status::bad_request, "the target is a path or http://HOST/PATH",
                     false);
    if (!host_of(s, authority, &host))
        return;
    const bool head = req.method() == http::verb::head;
    const bool get = req.method() == http::verb::get || head;
    const bool post = req.method() == http::verb::post;
    ui_server &t = *s->srv;
    if (path == "/" && get) {
        std::string nonce;
        answer(s, http::status::ok,
               page_with_nonce(t, s->local ? t.page_local : t.page_remote, &nonce),
               "text/html; charset=utf-8")
            .set("Content-Security-Policy", ui_page_csp(nonce));
        return send(s, false);
    }
    if (path == "/events" && get)
        return ui_events_start(s, head);
    if ((path == "/api/status" || path == "/metrics") && get) {
        const bool status = path == "/api/status";
        ui_text doc;
        {
            std::lock_guard<std::mutex> hold(t.lock);
            doc = status ? t.status : t.metrics;
        }
        return send(s, http::status::ok, *doc,
                    status ? "application/json" : "text/plain; version=0.0.4; charset=utf-8");
    }
    if (path == "/api/records" && get)
        return records(s, query);
    if ((path == "/api/stop" || path == "/api/resume") && post)
        return press(s, path == "/api/stop" ? UI_STOP : UI_RESUME, host);
    if (path == "/api/clear" && post)
        return clear_bay(s, host);
    for (const char *known : {"/", "/events", "/api/status", "/api/records", "/metrics"})
        if (path == known)
            return not_allowed(s, "GET, HEAD");
    if (path == "/api/stop" || path == "/api/resume" || path == "/api/clear")
        return not_allowed(s, "POST");
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
    const asio::ip::address peer = ui_unmapped(socket.remote_endpoint(e1).address());
    const asio::ip::address self = ui_unmapped(socket.local_endpoint(e2).address());
    if (e1 || e2)
        return false;
    return peer == asio::ip::make_address("127.0.0.1") ||
           peer == asio::ip::address_v6::loopback() || peer == self;
}

ui_session::ui_session(ui_server *s, tcp::socket &&socket, bool is_local, bool is_over)
    : srv(s), stream(std::move(socket)), local(is_local), over(is_over),
      buffer(UI_HEADER_MAX + UI_BODY_MAX + 4096)
{
    beast::error_code e1, e2;
    peer_key = ui_peer_key(stream.socket().remote_endpoint(e1).address());
    reached = ui_unmapped(stream.socket().local_endpoint(e2).address());
    if (over) {
        ++srv->refusing;
    } else {
        ++srv->connections;
        if (!local)
            ++srv->remote, ++srv->per_peer[peer_key];
    }
}

ui_session::~ui_session()
{
    srv->streams.erase(this);
    if (over) {
        --srv->refusing;
    } else {
        --srv->connections;
        if (!local) {
            --srv->remote;
            if (--srv->per_peer[peer_key] <= 0)
                srv->per_peer.erase(peer_key);
        }
    }
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
}
