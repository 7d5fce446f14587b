// The station's live page over HTTP: the page, its status pushed to every
// viewer (Server-Sent Events), the records, and Stop / Resume for viewers on
// the station's own machine. The server runs on a thread of its own; the
// station only hands it documents, which never waits on a viewer.
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
//                           so far
//   GET  /metrics           the station's counts for a scraper
//                           (text/plain; version=0.0.4)
//   POST /api/stop, /api/resume
//                           local viewers only (else 403)
// A local viewer is on the station's own machine: it comes from 127.0.0.1 or
// ::1, or from the very address it reached (the station's LAN address). A
// POST whose Origin is not the Host it was sent to (another site's page in
// a local browser) counts as remote. Every answer carries X-Zmk-Local: true
// or false; the page a remote viewer gets has no Stop / Resume buttons.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ui_server;

// Limits that keep viewers from holding the station's resources.
constexpr int UI_MAX_CONNECTIONS = 100;   // more are answered 503 (as many again), then refused
constexpr int UI_REQUEST_MS = 5000;       // a request must arrive whole within this, idle or not
constexpr int UI_WRITE_MS = 5000;         // an answer or an event must be taken within this
constexpr int UI_KEEPALIVE_MS = 4000;     // an event stream hears at least this often
constexpr int UI_STREAM_BUFFER = 65536;   // the system's send buffer of an event stream
constexpr size_t UI_HEADER_MAX = 8192;    // larger request heads: 431
constexpr size_t UI_BODY_MAX = 1024;      // larger request bodies: 413
constexpr size_t UI_RECORDS_KEPT = 20000; // older records are let go (X-Zmk-Records tells)
constexpr size_t UI_RECORDS_PER_ANSWER = 1000;

// Serves on "PORT", "ADDRESS:PORT" or "[V6]:PORT" (ADDRESS numeric; default
// 127.0.0.1; port 0: any free one). nullptr with the reason in `why`; `url`
// gets the page's address ("http://127.0.0.1:8080/").
ui_server *ui_server_new(const std::string &where, std::string *url, std::string *why);
// Whether `where` is one ui_server_new takes; the reason in `why` if not.
bool ui_server_where_valid(const std::string &where, std::string *why);
// The latest status document (a JSON object); viewers get it at once, a slow
// one skipping to the latest. An unchanged document is not sent again.
void ui_server_status(ui_server *t, const std::string &status_json);
// One record (a JSON line without its line end), numbered 1, 2, ... in order.
void ui_server_record(ui_server *t, const std::string &record_json);
// The latest counts, served as they are at GET /metrics.
void ui_server_metrics(ui_server *t, const std::string &text);
enum ui_request { UI_NONE, UI_STOP, UI_RESUME };
// The last Stop or Resume a local viewer pressed since the previous call.
ui_request ui_server_take_request(ui_server *t);
// Closes every connection; returns once the server's thread has ended.
void ui_server_free(ui_server *t);
