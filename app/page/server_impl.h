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
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct ui_session;
using ui_text = std::shared_ptr<const std::string>;

struct ui_server {
    std::mutex lock; // status, version, metrics
    ui_text status, metrics;
    uint64_t version = 0;
    std::mutex records_lock; // records, records_first
    std::deque<ui_text> records;
    uint64_t records_first = 1; // the number of records.front()
    std::atomic<bool> notify_pending{false};
    std::mutex press_lock; // request, request_viewer, clears
    ui_request request = UI_NONE;
    std::string request_viewer;
    std::vector<ui_clear> clears;

    // Set before the thread starts, then read only.
    std::string token; // what a POST must carry as X-Zmk-Token
    // The page in pieces: a nonce goes between each two (see ui_page_pieces).
    std::vector<std::string> page_local, page_remote;
    asio::ip::address bound; // as given: may be 0.0.0.0 or ::
    unsigned short port = 0;
    std::vector<std::string> names;           // Host names besides "localhost", lower case
    std::vector<asio::ip::address> addresses; // Host addresses given as names

    // The server's thread only, from here on.
    std::unique_ptr<asio::io_context> io;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<asio::steady_timer> retry, keepalive, sweep;
    std::set<ui_session *> streams; // connections sending events
    int connections = 0, refusing = 0;
    int remote = 0;                            // of `connections`, not local
    std::map<asio::ip::address, int> per_peer; // of `remote`, by ui_peer_key
    std::random_device random;                 // the nonces
    std::thread thread;
};

struct ui_session : std::enable_shared_from_this<ui_session> {
    ui_server *srv;
    beast::tcp_stream stream;
    bool local;
    bool over;                  // beyond the cap: answered 503, then closed
    asio::ip::address peer_key; // ui_peer_key of the remote end (remote ones counted)
    asio::ip::address reached;  // the address the viewer reached
    bool open = true;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    http::response<http::string_body> answer;
    // The event stream.
    http::response<http::empty_body> head;
    std::optional<http::response_serializer<http::empty_body>> head_writer;
    std::string out;   // the write under way
    size_t out_at = 0; // how much of it the system took
    uint64_t sent = 0; // the status version last sent
    bool writing = false, ping = false, first = true;
    // Whether the viewer takes what it is sent: bytes the system took from
    // us, bytes the viewer acknowledged, and since when it has taken none
    // of what was outstanding.
    uint64_t handed = 0, taken = 0;
    std::chrono::steady_clock::time_point since;
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
// `head_only` (HEAD): the head, then the end.
void ui_events_start(const ui_session_ptr &s, bool head_only);
void ui_events_push(ui_session *s);
// Closes the stream when its viewer has taken nothing of what is
// outstanding for UI_WRITE_MS; called often (UI_SWEEP_MS).
void ui_events_check(ui_session *s, std::chrono::steady_clock::time_point now);
constexpr int UI_SWEEP_MS = 250;

// guard.cpp: who is answered, and what every answer carries.
// A numeric address as Linux reads one ("A.B.C.D" in decimal, or IPv6
// without brackets), alike on every system.
bool ui_ip_parse(std::string_view text, asio::ip::address *out);
asio::ip::address ui_unmapped(const asio::ip::address &a);
// The address a remote viewer is counted by: its own, or for IPv6 its /64.
asio::ip::address ui_peer_key(const asio::ip::address &a);
// Whether an accepted connection is served (else it is answered 503),
// counting it in when it is.
bool ui_admit(ui_server *t, bool local, const asio::ip::address &key);
// `hosts` as the names and addresses a Host may give; false with `why`.
bool ui_hosts_parse(const std::vector<std::string> &hosts, std::vector<std::string> *names,
                    std::vector<asio::ip::address> *addresses, std::string *why);
enum ui_host_verdict { UI_HOST_OK, UI_HOST_MALFORMED, UI_HOST_FOREIGN };
// A Host value ("name", "name:port", "[v6]:port") against the server's
// names; `reached`: the address the connection reached.
ui_host_verdict ui_host_check(const ui_server &t, const asio::ip::address &reached,
                              std::string_view host);
// `bytes` random bytes as hex (std::random_device).
std::string ui_random_hex(std::random_device &random, size_t bytes);
// Whether `given` is the token, in a time that does not tell how much of it matched.
bool ui_token_matches(const std::string &token, std::string_view given);
// The headers every answer carries; `csp`: its Content-Security-Policy.
void ui_guard_headers(http::fields &f, const std::string &csp);
extern const char *const UI_CSP_ANY; // for anything but the page
// The page's policy: only itself, its inline script by `nonce`.
std::string ui_page_csp(const std::string &nonce);
// The page as pieces between which goes ` nonce="..."` (after each "<script"
// tag name), its token placeholder filled in with `token`.
std::vector<std::string> ui_page_pieces(const std::string &page, const std::string &token);
