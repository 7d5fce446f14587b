// The server's insides, shared by its files: the state the station hands
// over, the connections, and how they are served. Only the server's thread
// touches the connections; the station's thread only takes `lock` or
// `records_lock` long enough to swap a pointer.
#pragma once

#include "app/page/server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct ui_session;
using ui_text = std::shared_ptr<const std::string>;

struct ui_server {
    std::mutex lock; // status, version, metrics
    ui_text status;
    ui_text metrics;
    uint64_t version = 0;
    std::mutex records_lock; // records, records_first
    std::deque<ui_text> records;
    uint64_t records_first = 1; // the number of records.front()
    std::atomic<bool> notify_pending{false};
    std::atomic<int> request{UI_NONE};

    // The server's thread only, from here on.
    std::string page_local, page_remote;
    std::unique_ptr<asio::io_context> io;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<asio::steady_timer> retry, keepalive;
    std::set<ui_session *> streams; // connections sending events
    int connections = 0, refusing = 0;
    std::thread thread;
};

struct ui_session : std::enable_shared_from_this<ui_session> {
    ui_server *srv;
    beast::tcp_stream stream;
    bool local;
    bool over; // beyond the cap: answered 503, then closed
    bool open = true;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    http::response<http::string_body> answer;
    // The event stream.
    http::response<http::empty_body> head;
    std::optional<http::response_serializer<http::empty_body>> head_writer;
    asio::steady_timer deadline;
    std::string out;
    uint64_t sent = 0; // the status version last sent
    bool writing = false, ping = false, first = true;
    char sink[1024]; // what a viewer sends that is not read as a request

    ui_session(ui_server *s, tcp::socket &&socket, bool is_local, bool is_over);
    ~ui_session();
};
using ui_session_ptr = std::shared_ptr<ui_session>;

// Whether the peer is on the station's own machine: 127.0.0.1, ::1, or the
// address the connection reached.
bool ui_peer_local(const tcp::socket &socket);
// Serves one accepted connection until it closes.
void ui_session_start(ui_server *srv, tcp::socket &&socket, bool over);
void ui_session_close(ui_session *s);
// The event stream: its head, then the latest status whenever it changed
// (or a keep-alive comment when asked), never more than one write at a time.
void ui_events_start(const ui_session_ptr &s);
void ui_events_push(ui_session *s);
