// The page's server against viewers that misbehave: malformed, oversized,
// idle, slow, too many, remote, and event streams that never read; against
// pages of other sites (a Host not its own, no token); and the small rules
// of its answers (framing headers, HEAD, absolute targets, record numbers
// past the last). The station's side (ui_server_status) must never wait on
// any of them.
#include "app/page/server.h"
#include "tests/page/ui_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

namespace {

using clk = std::chrono::steady_clock;

struct served {
    ui_server *t = nullptr;
    std::string url;
    unsigned short port = 0;

    explicit served(const std::string &where = "127.0.0.1:0",
                    const std::vector<std::string> &hosts = {})
    {
        std::string why;
        t = ui_server_new(where, hosts, &url, &why);
        EXPECT_NE(t, nullptr) << why;
        port = static_cast<unsigned short>(std::stoi(url.substr(url.rfind(':') + 1)));
    }
    ~served() { ui_server_free(t); }
};

http::response<http::string_body> ask(unsigned short port, const std::string &request,
                                      const char *from = "127.0.0.1")
{
    ui_client c;
    if (!c.connect(port, from) || !c.send(request))
        return {};
    return c.answer();
}

http::response<http::string_body> get(unsigned short port, const std::string &target,
                                      const char *from = "127.0.0.1")
{
    return ask(port, ui_request_text("GET", target), from);
}

double ms_since(clk::time_point t0)
{
    return std::chrono::duration<double, std::milli>(clk::now() - t0).count();
}

// A request with the Host given ("": none).
std::string request_to(const std::string &method, const std::string &target,
                       const std::string &host, const std::string &more = "")
{
    return method + " " + target + " HTTP/1.1\r\n" +
           (host.empty() ? "" : "Host: " + host + "\r\n") + more + "\r\n";
}

bool wait_for_ms(int ms, const std::function<bool()> &done)
{
    const auto t0 = clk::now();
    while (!done()) {
        if (ms_since(t0) > ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// What every answer carries, whatever it is.
void expect_framing(const http::fields &f, const std::string &what)
{
    EXPECT_NE(std::string(f["Content-Security-Policy"]).find("frame-ancestors 'none'"),
              std::string::npos)
        << what;
    EXPECT_EQ(f["X-Frame-Options"], "DENY") << what;
    EXPECT_EQ(f["X-Content-Type-Options"], "nosniff") << what;
    EXPECT_EQ(f["Referrer-Policy"], "no-referrer") << what;
    EXPECT_EQ(f.count("X-Zmk-Local"), 1u) << what;
}

// An event stream from `from`, kept when it is served; its status.
int open_stream(unsigned short port, const char *from,
                std::vector<std::unique_ptr<ui_client>> *kept)
{
    auto c = std::make_unique<ui_client>();
    if (!c->connect(port, from) || !c->send(ui_request_text("GET", "/events")))
        return 0;
    const auto head = c->head();
    if (head.result_int() == 200)
        kept->push_back(std::move(c));
    else if (head.result_int() == 503)
        expect_framing(head, "503");
    return int(head.result_int());
}

} // namespace

TEST(UiServer, ListensWhereToldOrSaysWhyNot)
{
    for (const char *where : {"0", "127.0.0.1:0"}) {
        served s(where);
        EXPECT_EQ(s.url.rfind("http://127.0.0.1:", 0), 0u) << s.url;
        EXPECT_EQ(get(s.port, "/api/status").result_int(), 200) << where;
    }
    served first;
    for (const std::string &where :
         std::vector<std::string>{"http", "127.0.0.1:" + std::to_string(first.port)}) {
        std::string url, why;
        EXPECT_EQ(ui_server_new(where, {}, &url, &why), nullptr) << where;
        EXPECT_FALSE(why.empty()) << where;
    }
    // The command line's check, without serving.
    for (const char *where : {"", "http", "70000", "1.2.3:80", "::1:80", "[::1]80", "localhost:80",
                              "127.0.0.1:", "127.1:80", "2130706433:80", "127.0.0.01:80",
                              "[127.0.0.1]:80", "[::1]:", "[::1]:x"}) {
        std::string why;
        EXPECT_FALSE(ui_server_where_valid(where, &why)) << where;
        EXPECT_FALSE(why.empty()) << where;
    }
    for (const char *where :
         {"0", "8080", "127.0.0.1:8080", "0.0.0.0:80", "[::1]:8080", "[::]:0"}) {
        std::string why;
        EXPECT_TRUE(ui_server_where_valid(where, &why)) << where << ": " << why;
    }
    // More names to answer to are names or addresses, without a port.
    for (const char *host : {"", "station 3", "station.lan:8080", "http://station", "[::1"}) {
        std::string url, why;
        ui_server *t = ui_server_new("127.0.0.1:0", {"ok.lan", host}, &url, &why);
        EXPECT_EQ(t, nullptr) << host;
        EXPECT_NE(why.find(host), std::string::npos) << host << ": " << why;
        ui_server_free(t);
    }
}

// Each is answered with an error, and the server goes on serving the same
// status, with no Stop or Resume taken.
TEST(UiServer, BadRequestsGetAnErrorAndChangeNothing)
{
    served s;
    ui_server_status(s.t, R"({"station":"before"})");
    const std::string big(UI_HEADER_MAX + 100, 'x');
    const struct {
        std::string request;
        int status;
    } rows[] = {
        {ui_request_text("GET", "/nothing-here"), 404},
        {ui_request_text("DELETE", "/api/status"), 405},
        {ui_request_text("GET", "/api/stop"), 405},
        {ui_request_text("POST", "/", "Content-Length: 0\r\n"), 405},
        {ui_request_text("BREW", "/api/resume"), 405},
        {"NONSENSE\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: many\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHo st: x\r\n\r\n", 400},
        {ui_request_text("GET", "/api/records?after=x"), 400},
        {ui_request_text("GET", "/api/records?after=-1"), 400},
        {ui_request_text("GET", "/api/records?after="), 400},
        {ui_request_text("GET", "/api/records?after=+1"), 400},
        {ui_request_text("GET", "api/status"), 400},
        {ui_request_text("GET", "https://127.0.0.1/api/status"), 400},
        {ui_request_text("GET", "http://me@127.0.0.1/api/status"), 400},
        {ui_request_text("GET", "/", "X-Filler: " + big + "\r\n"), 431},
        {ui_request_text("GET", "/" + big), 431},
        {ui_request_text("POST", "/api/stop", "Content-Length: 5000\r\n"), 413},
        {ui_request_text("POST", "/api/stop", "Transfer-Encoding: chunked\r\n") + "800\r\n" +
             std::string(0x800, 'x') + "\r\n0\r\n\r\n",
         413},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(ask(s.port, row.request).result_int(), row.status) << row.request.substr(0, 80);
        const auto status = get(s.port, "/api/status");
        EXPECT_EQ(status.result_int(), 200);
        EXPECT_EQ(status.body(), R"({"station":"before"})");
    }
    EXPECT_EQ(ui_server_take_request(s.t), UI_NONE);
}

// A viewer that sends nothing, or a request a byte at a time, is closed once
// UI_REQUEST_MS has passed; beyond UI_MAX_CONNECTIONS viewers are answered
// 503, and served again once the others have gone.
TEST(UiServer, IdleSlowAndSurplusViewersAreLetGo)
{
    served s;
    ui_client idle, slow;
    ASSERT_TRUE(idle.connect(s.port) && slow.connect(s.port));
    const auto t0 = clk::now();
    const std::string request = ui_request_text("GET", "/api/status");
    size_t sent = 0;
    while (sent < request.size() && slow.send(request.substr(sent, 1)) &&
           ms_since(t0) < UI_REQUEST_MS + 2000) {
        ++sent;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    const double slow_ms = ms_since(t0);
    EXPECT_LT(sent, request.size());
    EXPECT_TRUE(slow.closed_within(1000));
    EXPECT_GE(slow_ms, UI_REQUEST_MS);
    EXPECT_LE(slow_ms, UI_REQUEST_MS + 1000);
    EXPECT_TRUE(idle.closed_within(1000));
    std::printf("a slow viewer was closed after %.0f ms\n", slow_ms);

    std::vector<std::unique_ptr<ui_client>> held;
    for (int i = 0; i < UI_MAX_CONNECTIONS; ++i) {
        held.push_back(std::make_unique<ui_client>());
        ASSERT_TRUE(held.back()->connect(s.port));
        ASSERT_TRUE(held.back()->send("GET / HTTP/1.1\r\n")); // and no more
    }
    EXPECT_EQ(get(s.port, "/api/status").result_int(), 503);
    held.clear();
    int after = 0;
    for (int i = 0; i < 50 && after != 200;
         ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        after = get(s.port, "/api/status").result_int();
    EXPECT_EQ(after, 200);
}

TEST(UiServer, RecordsAreNumberedAndServedAfterAGivenNumber)
{
    served s;
    auto r = get(s.port, "/api/records");
    EXPECT_EQ(r.body(), "");
    EXPECT_EQ(r["X-Zmk-Last"], "0");
    EXPECT_EQ(r.count("X-Zmk-Records"), 0u);
    for (int i = 1; i <= 1500; ++i)
        ui_server_record(s.t, "{\"n\":" + std::to_string(i) + "}");
    r = get(s.port, "/api/records?after=1498");
    EXPECT_EQ(r.body(), "{\"n\":1499}\n{\"n\":1500}\n");
    EXPECT_EQ(r["Content-Type"], "application/x-ndjson");
    EXPECT_EQ(r["X-Zmk-Records"], "1499-1500");
    EXPECT_EQ(r["X-Zmk-Last"], "1500");
    r = get(s.port, "/api/records?after=0");
    EXPECT_EQ(r["X-Zmk-Records"], "1-" + std::to_string(UI_RECORDS_PER_ANSWER));
    EXPECT_EQ(std::count(r.body().begin(), r.body().end(), '\n'), long(UI_RECORDS_PER_ANSWER));
    // Past the last, however far (the number saturates): none.
    for (const char *after : {"1500", "1501", "18446744073709551615", "18446744073709551616",
                              "99999999999999999999999", "00000000000000000000000000001501"}) {
        r = get(s.port, std::string("/api/records?after=") + after);
        EXPECT_EQ(r.result_int(), 200) << after;
        EXPECT_EQ(r.body(), "") << after;
        EXPECT_EQ(r["X-Zmk-Last"], "1500") << after;
    }
    // The oldest are let go beyond UI_RECORDS_KEPT; the numbers say so.
    for (size_t i = 1500; i < UI_RECORDS_KEPT + 5; ++i)
        ui_server_record(s.t, "{}");
    r = get(s.port, "/api/records?after=2");
    EXPECT_EQ(r["X-Zmk-Records"], "6-" + std::to_string(5 + UI_RECORDS_PER_ANSWER));
}

// 127.0.0.2 stands in for another machine: it sees the page without the
// buttons, and may not press them; neither may a page of another site in a
// local browser.
TEST(UiServer, OnlyTheStationsOwnMachineMayStopResumeOrClear)
{
    served s;
    const auto remote_page = get(s.port, "/", "127.0.0.2");
    ASSERT_EQ(remote_page.result_int(), 200);
    EXPECT_EQ(remote_page["X-Zmk-Local"], "false");
    EXPECT_EQ(remote_page.body().find("id=\"stop\""), std::string::npos);
    EXPECT_NE(remote_page.body().find("id=\"tiles\""), std::string::npos);
    const auto local_page = get(s.port, "/");
    EXPECT_EQ(local_page["X-Zmk-Local"], "true");
    EXPECT_NE(local_page.body().find("id=\"stop\""), std::string::npos);
    EXPECT_EQ(local_page.body().find("<!--local-->"), std::string::npos);

    // The token does not make a remote viewer local.
    const std::string token = ui_token_header(ui_token_of(local_page.body()));
    EXPECT_EQ(ask(s.port, ui_request_text("POST", "/api/stop", token), "127.0.0.2").result_int(),
              403);
    EXPECT_EQ(
        ask(s.port, ui_request_text("POST", "/api/stop", token + "Origin: http://evil.example\r\n"))
            .result_int(),
        403);
    EXPECT_EQ(ui_server_take_request(s.t), UI_NONE);
    const std::string origin = "Origin: http://127.0.0.1\r\n"; // the Host ui_request_text sends
    EXPECT_EQ(ask(s.port, ui_request_text("POST", "/api/stop", token + origin)).result_int(), 204);
    EXPECT_EQ(ui_server_take_request(s.t), UI_STOP);
    EXPECT_EQ(ui_server_take_request(s.t), UI_NONE);
    EXPECT_EQ(ask(s.port, ui_request_text("POST", "/api/stop", token)).result_int(), 204);
    EXPECT_EQ(ask(s.port, ui_request_text("POST", "/api/resume", token)).result_int(), 204);
    EXPECT_EQ(ui_server_take_request(s.t), UI_RESUME); // the last one pressed

    // Clear names its bay in the body, and says who pressed it.
    const std::string clear =
        ui_request_text("POST", "/api/clear", token + "Content-Length: 5\r\n");
    EXPECT_EQ(ask(s.port, clear + "bay-1", "127.0.0.2").result_int(), 403);
    EXPECT_EQ(ask(s.port, ui_request_text("POST", "/api/clear", "Content-Length: 5\r\n") + "bay-1")
                  .result_int(),
              403);
    EXPECT_EQ(ask(s.port, clear + "bay\x1b" + "1").result_int(), 400) << "bytes for a terminal";
    EXPECT_EQ(ask(s.port, clear + "bay-1").result_int(), 204);
    const std::vector<ui_clear> cleared = ui_server_take_clears(s.t);
    ASSERT_EQ(cleared.size(), 1u);
    EXPECT_EQ(cleared[0].slot + " " + cleared[0].viewer, "bay-1 127.0.0.1");
    EXPECT_TRUE(ui_server_take_clears(s.t).empty());
}

// ---------------------------------------------------------------------------
// Host: the server answers only to its own names. A page of another site
// whose name was pointed at the station (DNS rebinding) sends its own name.

TEST(UiServerHost, AForeignHostIsMisdirectedAndTakesNothing)
{
    served s;
    const std::string token = ui_page_token(s.port);
    ASSERT_EQ(token.size(), 32u);
    const std::string p = ":" + std::to_string(s.port);
    const std::string other_port = ":" + std::to_string(s.port == 65535 ? 1 : s.port + 1);
    for (const std::string &host : std::vector<std::string>{
             "evil.example", "evil.example" + p, "127.0.0.2" + p, "10.0.0.1" + p,
             "localhost.evil.example" + p, "[::2]" + p, "127.0.0.1" + other_port,
             "localhost" + other_port, "2130706433" + p, "127.1" + p, "0x7f.0.0.1" + p,
             "127.000.0.1" + p, "0177.0.0.1" + p}) {
        const auto r = ask(s.port, request_to("GET", "/api/status", host));
        EXPECT_EQ(r.result_int(), 421) << host;
        expect_framing(r, "421 for " + host);
        EXPECT_EQ(
            ask(s.port, request_to("POST", "/api/stop", host,
                                   ui_token_header(token) + "Origin: http://" + host + "\r\n"))
                .result_int(),
            421)
            << host;
        // Nor the page, whose token the other site would read.
        const auto page = ask(s.port, request_to("GET", "/", host));
        EXPECT_EQ(page.result_int(), 421) << host;
        EXPECT_EQ(page.body().find(token), std::string::npos) << host;
    }
    EXPECT_EQ(ui_server_take_request(s.t), UI_NONE);
    EXPECT_EQ(get(s.port, "/api/status").result_int(), 200); // and it goes on
}

TEST(UiServerHost, ItsOwnNamesAndTheGivenOnesAreAnswered)
{
    served s("127.0.0.1:0", {"Station-3.lan", "192.0.2.7", "[2001:db8::1]"});
    const std::string p = ":" + std::to_string(s.port);
    for (const std::string &host : std::vector<std::string>{
             "127.0.0.1", "127.0.0.1" + p, "localhost", "LocalHost" + p, "localhost." + p, "[::1]",
             "[::1]" + p, "station-3.lan", "STATION-3.LAN" + p, "192.0.2.7" + p,
             "[2001:db8::1]" + p, "[2001:DB8:0::1]", "127.0.0.1:"})
        EXPECT_EQ(ask(s.port, request_to("GET", "/api/status", host)).result_int(), 200) << host;
    for (const std::string &host : std::vector<std::string>{
             "station-4.lan", "station-3.lan.evil" + p, "192.0.2.8" + p, "[2001:db8::2]" + p})
        EXPECT_EQ(ask(s.port, request_to("GET", "/api/status", host)).result_int(), 421) << host;
    // Without Host, with two, or with one that is no host: 400.
    const struct {
        std::string request;
        int status;
    } rows[] = {
        {"GET /api/status HTTP/1.1\r\n\r\n", 400},
        {"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: 127.0.0.1\r\n\r\n", 400},
        {"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\n\r\n", 400},
        {request_to("GET", "/api/status", "station 3.lan"), 400},
        {request_to("GET", "/api/status", "::1"), 400},
        {request_to("GET", "/api/status", "localhost:123456"), 400},
        {"GET /api/status HTTP/1.1\r\nHost:\r\n\r\n", 400},
        {"GET /api/status HTTP/1.0\r\n\r\n", 200}, // HTTP/1.0 may send none
    };
    for (const auto &row : rows)
        EXPECT_EQ(ask(s.port, row.request).result_int(), row.status) << row.request;
    EXPECT_EQ(ui_server_take_request(s.t), UI_NONE);
    // A name given may press Stop from the station's own browser.
    const std::string host = "station-3.lan" + p;
    EXPECT_EQ(ask(s.port, request_to("POST", "/api/stop", host,
                                     ui_token_header(ui_page_token(s.port)) + "Origin: http://" +
                                         host + "\r\n"))
                  .result_int(),
              204);
    EXPECT_EQ(ui_server_take_request(s.t), UI_STOP);
}

// Serving on every address, the address a connection reached is its own
// name (the station's LAN address, here 127.0.0.3); others are not.
TEST(UiServerHost, OnEveryAddressTheOneReachedIsAnswered)
{
    served s("0.0.0.0:0");
    const std::string p = ":" + std::to_string(s.port);
    const auto via = [&](const char *to, const std::string &host) {
        ui_client c;
        if (!c.connect(s.port, "127.0.0.1", 3000, to) ||
            !c.send(request_to("GET", "/api/status", host)))
            return 0;
        return int(c.answer().result_int());
    };
    EXPECT_EQ(via("127.0.0.3", "127.0.0.3" + p), 200);
    EXPECT_EQ(via("127.0.0.3", "127.0.0.3"), 200);
    EXPECT_EQ(via("127.0.0.3", "127.0.0.4" + p), 421);
    EXPECT_EQ(via("127.0.0.4", "127.0.0.4" + p), 200);
    EXPECT_EQ(via("127.0.0.4", "0.0.0.0" + p), 421);
    EXPECT_EQ(via("127.0.0.3", "localhost" + p), 200);
}

// "GET http://HOST:PORT/path" is served as "GET /path", its HOST checked as
// the Host header is.
TEST(UiServerHost, AbsoluteTargetsAreServedAndTheirHostChecked)
{
    served s;
    ui_server_status(s.t, R"({"station":"abs"})");
    ui_server_record(s.t, R"({"n":1})");
    const std::string here = "http://127.0.0.1:" + std::to_string(s.port);
    const std::string evil = "http://evil.example:" + std::to_string(s.port);
    auto r = get(s.port, here + "/api/status");
    EXPECT_EQ(r.result_int(), 200);
    EXPECT_EQ(r.body(), R"({"station":"abs"})");
    r = get(s.port, "HTTP://LOCALHOST:" + std::to_string(s.port) + "/api/records?after=0");
    EXPECT_EQ(r.result_int(), 200);
    EXPECT_EQ(r.body(), "{\"n\":1}\n");
    r = get(s.port, here);
    EXPECT_EQ(r.result_int(), 200);
    EXPECT_EQ(r["Content-Type"], "text/html; charset=utf-8");
    EXPECT_EQ(get(s.port, here + "?x=1").result_int(), 200);
    EXPECT_EQ(get(s.port, here + "/nothing-here").result_int(), 404);
    EXPECT_EQ(get(s.port, evil + "/api/status").result_int(), 421);
    EXPECT_EQ(get(s.port, "http://127.0.0.1:1/api/status").result_int(), 421);

    const std::string token = ui_token_header(ui_page_token(s.port));
    EXPECT_EQ(
        ask(s.port, ui_request_text("POST", evil + "/api/stop", token + "Origin: " + evil + "\r\n"))
            .result_int(),
        421);
    EXPECT_EQ(ui_server_take_request(s.t), UI_NONE);
    // The Origin is checked against the host the target names.
    EXPECT_EQ(ask(s.port, ui_request_text("POST", here + "/api/stop",
                                          token + "Origin: http://127.0.0.1\r\n"))
                  .result_int(),
              403);
    EXPECT_EQ(
        ask(s.port, ui_request_text("POST", here + "/api/stop", token + "Origin: " + here + "\r\n"))
            .result_int(),
        204);
    EXPECT_EQ(ui_server_take_request(s.t), UI_STOP);
}

// ---------------------------------------------------------------------------
// Framing: no other site may show the page (or anything else) in a frame.

TEST(UiServerFraming, EveryAnswerCarriesTheFramingHeaders)
{
    served s;
    // The page: a policy of its own, its one script run by the nonce of
    // this answer.
    const auto page = get(s.port, "/");
    ASSERT_EQ(page.result_int(), 200);
    expect_framing(page, "the page");
    const std::string csp(page["Content-Security-Policy"]);
    for (const char *part : {"default-src 'self'", "connect-src 'self'",
                             "img-src 'self' data:", "base-uri 'none'", "form-action 'self'"})
        EXPECT_NE(csp.find(part), std::string::npos) << part << " in " << csp;
    const size_t at = page.body().find("<script nonce=\"");
    ASSERT_NE(at, std::string::npos);
    const std::string nonce = page.body().substr(at + 15, page.body().find('"', at + 15) - at - 15);
    EXPECT_GE(nonce.size(), 22u);
    EXPECT_NE(csp.find("script-src 'self' 'nonce-" + nonce + "';"), std::string::npos) << csp;
    const std::string script_src = csp.substr(csp.find("script-src"));
    EXPECT_EQ(script_src.substr(0, script_src.find(';')).find("unsafe-inline"), std::string::npos);
    const auto again = get(s.port, "/");
    EXPECT_EQ(again.body().find(nonce), std::string::npos); // a nonce of each answer
    EXPECT_NE(std::string(again["Content-Security-Policy"]).find("'nonce-"), std::string::npos);
    const auto remote = get(s.port, "/", "127.0.0.2");
    expect_framing(remote, "the remote page");
    EXPECT_NE(remote.body().find("<script nonce=\""), std::string::npos);

    // Anything else, errors too.
    for (const std::string &request :
         {ui_request_text("GET", "/api/status"), ui_request_text("GET", "/api/records?after=0"),
          ui_request_text("GET", "/metrics"), ui_request_text("GET", "/nothing-here"),
          ui_request_text("DELETE", "/api/status"), ui_request_text("GET", "/api/records?after=x"),
          ui_request_text("POST", "/api/stop"), std::string("NONSENSE\r\n\r\n"),
          request_to("GET", "/api/status", "evil.example"), request_to("GET", "/api/status", ""),
          ui_request_text("GET", "/",
                          "X-Filler: " + std::string(UI_HEADER_MAX + 100, 'x') + "\r\n")}) {
        const auto r = ask(s.port, request);
        EXPECT_NE(r.result_int(), 0) << request.substr(0, 60);
        expect_framing(r, request.substr(0, 60));
        EXPECT_EQ(r["Content-Security-Policy"], "frame-ancestors 'none'");
    }
    const auto wrong = ask(s.port, ui_request_text("DELETE", "/api/status"));
    EXPECT_EQ(wrong.result_int(), 405);
    EXPECT_EQ(wrong["Allow"], "GET, HEAD");
    EXPECT_EQ(get(s.port, "/api/stop")["Allow"], "POST");
    // A 204: the headers, and none of a body.
    const auto pressed =
        ask(s.port, ui_request_text("POST", "/api/stop", ui_token_header(ui_page_token(s.port))));
    EXPECT_EQ(pressed.result_int(), 204);
    expect_framing(pressed, "204");
    EXPECT_EQ(pressed.count(http::field::content_type), 0u);
    EXPECT_EQ(pressed.count(http::field::content_length), 0u);
    // The event stream's head.
    ui_client events;
    ASSERT_TRUE(events.connect(s.port) && events.send(ui_request_text("GET", "/events")));
    const auto head = events.head();
    EXPECT_EQ(head.result_int(), 200);
    expect_framing(head, "the event stream");
}

// ---------------------------------------------------------------------------
// The token: a POST must carry the one the local page holds.

TEST(UiServerToken, APostNeedsTheTokenOfThePage)
{
    served s;
    const std::string token = ui_page_token(s.port);
    ASSERT_EQ(token.size(), 32u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    EXPECT_EQ(ui_page_token(s.port), token); // one for the server's run
    // A remote viewer's page holds none; another run has another.
    const auto remote = get(s.port, "/", "127.0.0.2");
    EXPECT_NE(remote.body().find("<meta name=\"zmk-token\" content=\"\">"), std::string::npos);
    EXPECT_EQ(remote.body().find(token), std::string::npos);
    {
        served other;
        EXPECT_NE(ui_page_token(other.port), token);
    }
    std::string wrong = token;
    wrong[7] = wrong[7] == '0' ? '1' : '0';
    std::string upper = token;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    for (const std::string &more :
         {std::string(), ui_token_header(""), ui_token_header(wrong),
          ui_token_header(token.substr(0, 31)), ui_token_header(token + "0"),
          upper == token ? ui_token_header("x") : ui_token_header(upper),
          "X-Zmk-Tokens: " + token + "\r\n", "Cookie: zmk-token=" + token + "\r\n"}) {
        for (const char *what : {"/api/stop", "/api/resume"}) {
            const auto r = ask(s.port, ui_request_text("POST", what, more));
            EXPECT_EQ(r.result_int(), 403) << what << " with " << more;
            EXPECT_NE(r.body().find("token"), std::string::npos) << r.body();
        }
    }
    EXPECT_EQ(ui_server_take_request(s.t), UI_NONE);
    const auto stop = ask(s.port, ui_request_text("POST", "/api/stop", ui_token_header(token)));
    EXPECT_EQ(stop.result_int(), 204);
    EXPECT_EQ(stop.count(http::field::content_type), 0u);
    EXPECT_EQ(ui_server_take_request(s.t), UI_STOP);
    EXPECT_EQ(
        ask(s.port, ui_request_text("POST", "/api/resume", ui_token_header(token))).result_int(),
        204);
    EXPECT_EQ(ui_server_take_request(s.t), UI_RESUME);
}

// ---------------------------------------------------------------------------
// Limits: remote viewers, however many, leave room for the station's own.

TEST(UiServerLimits, ARemoteFloodLeavesRoomForTheStationsOwnMachine)
{
    served s;
    ui_server_status(s.t, R"({"station":"flooded"})");
    // 127.0.0.x stand in for other machines: the server is on 127.0.0.1.
    std::vector<std::unique_ptr<ui_client>> remote, local;
    // One address: UI_PER_ADDRESS, then 503.
    int served_one = 0, refused = 0;
    for (int i = 0; i < 110; ++i) {
        const int status = open_stream(s.port, "127.0.0.2", &remote);
        served_one += status == 200;
        refused += status == 503;
    }
    EXPECT_EQ(served_one, UI_PER_ADDRESS);
    EXPECT_EQ(refused, 110 - UI_PER_ADDRESS);
    // Many addresses: UI_MAX_CONNECTIONS - UI_LOCAL_RESERVE in all.
    const int remote_cap = UI_MAX_CONNECTIONS - UI_LOCAL_RESERVE;
    for (int a = 3; int(remote.size()) < remote_cap && a < 40; ++a)
        for (int i = 0; i < UI_PER_ADDRESS; ++i)
            open_stream(s.port, ("127.0.0." + std::to_string(a)).c_str(), &remote);
    EXPECT_EQ(int(remote.size()), remote_cap);
    EXPECT_EQ(open_stream(s.port, "127.0.0.50", &remote), 503);
    EXPECT_EQ(get(s.port, "/api/status", "127.0.0.51").result_int(), 503);

    // The station's own machine: the page, its events, Stop; the reserve
    // whole.
    const auto page = get(s.port, "/");
    EXPECT_EQ(page.result_int(), 200);
    const std::string token = ui_token_of(page.body());
    EXPECT_EQ(token.size(), 32u);
    EXPECT_EQ(
        ask(s.port, ui_request_text("POST", "/api/stop", ui_token_header(token))).result_int(),
        204);
    EXPECT_EQ(ui_server_take_request(s.t), UI_STOP);
    for (int i = 0; i < UI_LOCAL_RESERVE; ++i)
        EXPECT_EQ(open_stream(s.port, "127.0.0.1", &local), 200) << i;
    ASSERT_FALSE(local.empty());
    EXPECT_TRUE(wait_for_ms(
        3000, [&] { return local.front()->so_far().find("flooded") != std::string::npos; }));
    // Full now: more are answered 503, local or not.
    EXPECT_EQ(get(s.port, "/api/status").result_int(), 503);

    // The remote ones gone, the others are served again.
    remote.clear();
    int after = 0;
    for (int i = 0; i < 100 && after != 200;
         ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        after = get(s.port, "/api/status", "127.0.0.50").result_int();
    EXPECT_EQ(after, 200);
}

// A viewer that opens the stream and reads nothing is let go UI_WRITE_MS
// after the first write it did not take, though the status never changes
// (and a viewer that reads, however slowly, is kept). What the system can
// tell: bytes the viewer's machine has not acknowledged; so the test's
// viewer has a small receive buffer and the status is larger than it.
TEST(UiServerLimits, AStreamThatTakesNothingIsClosed)
{
#ifndef __linux__
    GTEST_SKIP() << "only Linux tells how much of a stream is unacknowledged";
#else
    // The sockets open in this process: the server's and the viewers'.
    const auto descriptors = [] {
        int n = 0;
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd", ec))
            n += std::filesystem::read_symlink(e.path(), ec).string().rfind("socket:", 0) == 0;
        return n;
    };
    served s;
    ui_server_status(s.t, "{\"filler\":\"" + std::string(16384, 'x') + "\"}");
    ui_client reader;
    ASSERT_TRUE(reader.connect(s.port) && reader.send(ui_request_text("GET", "/events")));
    ASSERT_EQ(reader.head().result_int(), 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int before = descriptors();
    ui_client stuck;
    ASSERT_TRUE(stuck.connect(s.port, "127.0.0.1", 3000, "127.0.0.1", 1024));
    ASSERT_TRUE(stuck.send(ui_request_text("GET", "/events")));
    const auto t0 = clk::now();
    // Open: the server's side and ours.
    EXPECT_TRUE(wait_for_ms(2000, [&] { return descriptors() == before + 2; }));
    std::string heard;
    while (ms_since(t0) < 12000 && descriptors() > before + 1) {
        heard += reader.ready(); // the other viewer reads on
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double closed_ms = ms_since(t0);
    std::printf("a stream that took nothing was closed after %.0f ms\n", closed_ms);
    EXPECT_GE(closed_ms, UI_WRITE_MS - 500);
    EXPECT_LE(closed_ms, UI_WRITE_MS + 3000);
    // What it was sent, then the end.
    EXPECT_TRUE(stuck.closed_within(3000));
    // The reader, kept all the while, still hears the stream.
    EXPECT_TRUE(wait_for_ms(UI_KEEPALIVE_MS + 2000, [&] {
        heard += reader.ready();
        return heard.find("event: ping") != std::string::npos;
    })) << heard.size();
    EXPECT_FALSE(reader.ec) << reader.ec.message();
#endif
}

// ---------------------------------------------------------------------------
// The API's small rules.

// HEAD: the answer GET would get, without its body; the connection goes on.
TEST(UiServerApi, HeadIsGetWithoutTheBody)
{
    served s;
    ui_server_status(s.t, R"({"station":"head"})");
    ui_server_record(s.t, R"({"n":1})");
    ui_server_metrics(s.t, "zmk_up 1\n");
    ui_client c;
    ASSERT_TRUE(c.connect(s.port));
    for (const char *target : {"/", "/api/status", "/api/records?after=0", "/metrics"}) {
        ASSERT_TRUE(c.send(ui_request_text("GET", target)));
        const auto full = c.answer();
        ASSERT_EQ(full.result_int(), 200) << target;
        ASSERT_TRUE(c.send(ui_request_text("HEAD", target)));
        const auto head = c.answer_to_head();
        EXPECT_EQ(head.result_int(), 200) << target;
        EXPECT_EQ(head.body(), "") << target;
        EXPECT_EQ(head[http::field::content_type], full[http::field::content_type]) << target;
        // (The page differs by its nonce alone, of the same length.)
        EXPECT_EQ(head[http::field::content_length], std::to_string(full.body().size())) << target;
        expect_framing(head, target);
    }
    // The connection is where it should be: the next answer is whole.
    ASSERT_TRUE(c.send(ui_request_text("GET", "/api/status")));
    EXPECT_EQ(c.answer().body(), R"({"station":"head"})");
    // The event stream: its head, then the end.
    ui_client e;
    ASSERT_TRUE(e.connect(s.port) && e.send(ui_request_text("HEAD", "/events")));
    const auto head = e.head();
    EXPECT_EQ(head.result_int(), 200);
    EXPECT_EQ(head[http::field::content_type], "text/event-stream");
    EXPECT_TRUE(e.closed_within(3000));
    // HEAD of a route that takes only POST.
    ui_client h;
    ASSERT_TRUE(h.connect(s.port) && h.send(ui_request_text("HEAD", "/api/stop")));
    EXPECT_EQ(h.answer_to_head().result_int(), 405);
    EXPECT_EQ(ui_server_take_request(s.t), UI_NONE);
}

// The metrics: as the station hands them, to any viewer whose Host is the
// server's (they change nothing).
TEST(UiServerApi, MetricsAreServedToAnyViewer)
{
    served s;
    auto r = get(s.port, "/metrics");
    EXPECT_EQ(r.result_int(), 200);
    EXPECT_EQ(r.body(), "");
    const std::string text =
        "# TYPE zmk_devices_total counter\nzmk_devices_total{result=\"ok\"} 3\n";
    ui_server_metrics(s.t, text);
    for (const char *from : {"127.0.0.1", "127.0.0.2"}) {
        r = get(s.port, "/metrics", from);
        EXPECT_EQ(r.result_int(), 200) << from;
        EXPECT_EQ(r.body(), text) << from;
        EXPECT_EQ(r[http::field::content_type], "text/plain; version=0.0.4; charset=utf-8");
        expect_framing(r, "/metrics");
    }
    ui_server_metrics(s.t, "zmk_up 1\n");
    EXPECT_EQ(get(s.port, "/metrics").body(), "zmk_up 1\n");
    EXPECT_EQ(ask(s.port, request_to("GET", "/metrics", "evil.example")).result_int(), 421);
    EXPECT_EQ(
        ask(s.port, ui_request_text("POST", "/metrics", "Content-Length: 0\r\n")).result_int(),
        405);
}
