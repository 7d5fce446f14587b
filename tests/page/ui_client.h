// A test's HTTP viewer: raw bytes out, Beast's parser in, every step bounded
// by a deadline. It may connect from another loopback address (127.0.0.2)
// to stand in for a viewer on another machine.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
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
    bool connect(unsigned short port, const char *from = "127.0.0.1", int ms = 3000)
    {
        tcp::socket &s = stream.socket();
        s.open(tcp::v4(), ec);
        if (!ec)
            s.bind(tcp::endpoint(asio::ip::make_address(from), 0), ec);
        if (ec)
            return false;
        within(ms);
        stream.async_connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
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
