// The station's live page over HTTP: the page, its status pushed to every
// viewer (Server-Sent Events), the records, the metrics, and Stop / Resume
// for viewers on the station's own machine. The server runs on a thread of
// its own; the station only hands it documents, which never waits on a
// viewer.
//
//   GET  /                  the page
//   GET  /events            text/event-stream: the status document as each
//                           event's data, the latest first, then each change
//   GET  /api/status        the status document (application/json)
//   GET  /api/records?after=N
//                           the records numbered above N, one JSON line each
//                           (application/x-ndjson), at most UI_RECORDS_PER_ANSWER;
//                           X-Zmk-Records: FIRST-LAST numbers the lines (absent
//                           when there are none), X-Zmk-Last: the last number
//                           so far. N past the last (however many digits): none
//   GET  /metrics           the station's metrics, Prometheus' text format
//                           (text/plain; version=0.0.4), to any viewer
//   POST /api/stop, /api/resume
//                           local viewers only, with the page's token (else
//                           403); 204 when taken
//   POST /api/clear         the same; its body names a held bay (its slot):
//                           the station lets devices start there again
// HEAD is answered as GET without the body (/events: its head, then the end).
// A request target may be absolute ("http://HOST:PORT/api/status"): its
// HOST is checked as the Host header is.
//
// Who is answered. A request's Host (and an absolute target's host) must
// name this server: 127.0.0.1, localhost, [::1], the address it is bound
// to, the address the connection reached, or one of the names given to
// ui_server_new; its port, when given, must be the server's. Else 421 and
// nothing done: a page of another site whose name was pointed at this
// machine (DNS rebinding) gets nothing. Without Host (HTTP/1.1), with two,
// or with one that is no host: 400.
// A local viewer is on the station's own machine: it comes from 127.0.0.1 or
// ::1, or from the very address it reached (the station's LAN address). A
// POST must come from a local viewer, must carry X-Zmk-Token: the token of
// this server's run (random, 128 bits, never printed; the local page holds
// it in <meta name="zmk-token">, a remote viewer's page holds none), and its
// Origin, when sent, must be the Host it was sent to. Every answer carries
// X-Zmk-Local: true or false; the page a remote viewer gets has no Stop,
// Resume or Clear buttons.
// Every answer also carries Content-Security-Policy (the page: itself only,
// its inline script by a nonce of the answer; anything else: frame-ancestors
// 'none'), X-Frame-Options: DENY, X-Content-Type-Options: nosniff and
// Referrer-Policy: no-referrer: no other site may frame the page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ui_server;

// Limits that keep viewers from holding the station's resources.
constexpr int UI_MAX_CONNECTIONS = 100;   // more are answered 503 (as many again), then refused
constexpr int UI_PER_ADDRESS = 16;        // connections from one remote address (IPv6: one /64)
constexpr int UI_LOCAL_RESERVE = 20;      // of UI_MAX_CONNECTIONS, kept for local viewers:
                                          // remote ones have UI_MAX_CONNECTIONS - this in all
constexpr int UI_REQUEST_MS = 5000;       // a request must arrive whole within this, idle or not
constexpr int UI_WRITE_MS = 5000;         // an answer must be taken within this; an event
                                          // stream whose viewer takes nothing this long
                                          // (events or keep-alives) is closed
constexpr int UI_KEEPALIVE_MS = 4000;     // an event stream hears at least this often
constexpr int UI_STREAM_BUFFER = 65536;   // the system's send buffer of an event stream
constexpr size_t UI_HEADER_MAX = 8192;    // larger request heads: 431
constexpr size_t UI_BODY_MAX = 1024;      // larger request bodies: 413
constexpr size_t UI_RECORDS_KEPT = 20000; // older records are let go (X-Zmk-Records tells)
constexpr size_t UI_RECORDS_PER_ANSWER = 1000;

// Whether `where` says where to serve: "PORT", "ADDRESS:PORT" or
// "[V6]:PORT" (ADDRESS numeric; default 127.0.0.1; port 0: any free one).
// The reason in `why` when not.
bool ui_server_where_valid(const std::string &where, std::string *why);
// Serves where `where` says (as above). `hosts`: more names (or addresses)
// the page answers to as Host, without a port ("station-3.lan"). nullptr
// with the reason in `why`; `url` gets the page's address
// ("http://127.0.0.1:8080/").
ui_server *ui_server_new(const std::string &where, const std::vector<std::string> &hosts,
                         std::string *url, std::string *why);
// The latest status document (a JSON object); viewers get it at once, a slow
// one skipping to the latest. An unchanged document is not sent again.
void ui_server_status(ui_server *t, const std::string &status_json);
// The latest metrics (Prometheus' text exposition format), served as is at
// /metrics; empty until the first.
void ui_server_metrics(ui_server *t, const std::string &text);
// One record (a JSON line without its line end), numbered 1, 2, ... in order.
void ui_server_record(ui_server *t, const std::string &record_json);
constexpr size_t UI_CLEARS_WAITING = 64; // Clears not yet taken by the station; more: 503
enum ui_request { UI_NONE, UI_STOP, UI_RESUME };
// The last Stop or Resume a local viewer pressed since the previous call;
// `viewer` (may be nullptr) gets the address it came from.
ui_request ui_server_take_request(ui_server *t, std::string *viewer = nullptr);
// A bay a local viewer cleared, with the address it came from.
struct ui_clear {
    std::string slot, viewer;
};
// The Clears pressed since the previous call, in order.
std::vector<ui_clear> ui_server_take_clears(ui_server *t);
// Closes every connection; returns once the server's thread has ended.
void ui_server_free(ui_server *t);
