// A test's HTTP viewer: raw bytes out, Beast's parser in, every step bounded
// by a deadline. It may connect from another loopback address (127.0.0.2)
// to stand in for a viewer on another machine, and to another (127.0.0.3)
// to reach a server that serves on every address.
#pragma once

// GCC 12 with the sanitizers takes Beast's parser's empty boost::optional
// for an uninitialized one (a known false alarm of -Wmaybe-uninitialized).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <chrono>
#include <optional>
#include <string>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct ui_client {
    asio::io_context io;
    beast::tcp_stream stream{io};
    beast::flat_buffer buffer;
    beast::error_code ec;

    // The deadline of the operation about to start (Beast arms it then).
    void within(int ms) { stream.expires_after(std::chrono::milliseconds(ms)); }
    void run()
    {
        io.restart();
        io.run();
    }
    // `receive_buffer`: the system's receive buffer, when not 0 (small: a
    // viewer that reads nothing stops acknowledging soon).
    bool connect(unsigned short port, const char *from = "127.0.0.1", int ms = 3000,
                 const char *to = "127.0.0.1", int receive_buffer = 0)
    {
        tcp::socket &s = stream.socket();
        s.open(tcp::v4(), ec);
        if (!ec && receive_buffer)
            s.set_option(asio::socket_base::receive_buffer_size(receive_buffer), ec);
        if (!ec)
            s.bind(tcp::endpoint(asio::ip::make_address(from), 0), ec);
        if (ec)
            return false;
        within(ms);
        stream.async_connect(tcp::endpoint(asio::ip::make_address(to), port),
                             [this](beast::error_code e) { ec = e; });
        run();
        return !ec;
    }
    bool send(const std::string &bytes, int ms = 3000)
    {
        within(ms);
        asio::async_write(stream, asio::buffer(bytes),
                          [this](beast::error_code e, size_t) { ec = e; });
        run();
        return !ec;
    }
    // The next answer; result() 0 when none came whole in time.
    http::response<http::string_body> answer(int ms = 3000)
    {
        http::response<http::string_body> res;
        within(ms);
        http::async_read(stream, buffer, res, [this](beast::error_code e, size_t) { ec = e; });
        run();
        if (ec)
            res.result(0);
        return res;
    }
    // The answer to a HEAD: its head, no body whatever its Content-Length.
    http::response<http::string_body> answer_to_head(int ms = 3000)
    {
        http::response_parser<http::string_body> p;
        p.skip(true);
        within(ms);
        http::async_read(stream, buffer, p, [this](beast::error_code e, size_t) { ec = e; });
        run();
        http::response<http::string_body> res = p.release();
        if (ec)
            res.result(0);
        return res;
    }
    // The head of an answer whose body may never end (an event stream);
    // result() 0 when none came whole in time. What follows stays in
    // `buffer`, for body_so_far().
    http::response<http::empty_body> head(int ms = 3000)
    {
        head_parser.emplace();
        within(ms);
        http::async_read_header(stream, buffer, *head_parser,
                                [this](beast::error_code e, size_t) { ec = e; });
        run();
        http::response<http::empty_body> res = head_parser->get();
        if (ec)
            res.result(0);
        return res;
    }
    std::optional<http::response_parser<http::empty_body>> head_parser;
    // What arrived so far, without waiting (the connection stays open); ec
    // tells the end.
    std::string ready()
    {
        std::string got;
        const size_t n = stream.socket().available(ec);
        if (ec || n == 0)
            return got;
        got.resize(n);
        got.resize(stream.socket().read_some(asio::buffer(got), ec));
        return got;
    }
    // All that arrived after the head read by head(): what head() read ahead,
    // then what has come since (without waiting).
    std::string so_far()
    {
        const std::string more = ready();
        ahead += beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        ahead += more;
        return ahead;
    }
    std::string ahead;
    // Whatever arrives within `ms` (up to `max` bytes, at least one read).
    std::string some(int ms, size_t max = 1 << 20)
    {
        std::string got(max, '\0');
        size_t n = 0;
        within(ms);
        stream.async_read_some(asio::buffer(got),
                               [&](beast::error_code e, size_t k) { ec = e, n = k; });
        run();
        got.resize(n);
        return got;
    }
    // Whether the server closed the connection within `ms` (data before the
    // end is read and dropped).
    bool closed_within(int ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            some(int(std::chrono::duration_cast<std::chrono::milliseconds>(
                         end - std::chrono::steady_clock::now())
                         .count()) +
                 1);
            if (ec == asio::error::eof || ec == asio::error::connection_reset)
                return true;
            if (ec)
                return false;
        }
        return false;
    }
};

inline std::string ui_request_text(const char *method, const std::string &target,
                                   const std::string &more = "")
{
    return std::string(method) + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + more + "\r\n";
}

// The token the page gives (<meta name="zmk-token" content="...">); "" when
// it gives none.
inline std::string ui_token_of(const std::string &page)
{
    const std::string mark = "<meta name=\"zmk-token\" content=\"";
    const size_t at = page.find(mark);
    if (at == std::string::npos)
        return "";
    const size_t from = at + mark.size(), to = page.find('"', from);
    return to == std::string::npos ? "" : page.substr(from, to - from);
}

// The token of the page the server on `port` gives a viewer at `from`
// (127.0.0.1: a local one); "" when none.
inline std::string ui_page_token(unsigned short port, const char *from = "127.0.0.1")
{
    ui_client c;
    if (!c.connect(port, from) || !c.send(ui_request_text("GET", "/")))
        return "";
    return ui_token_of(c.answer().body());
}

// The header a POST carries the token in.
inline std::string ui_token_header(const std::string &token)
{
    return "X-Zmk-Token: " + token + "\r\n";
}
