// The page's server against viewers that misbehave: malformed, oversized,
// idle, slow, too many, remote, and event streams that never read. The
// station's side (ui_server_status) must never wait on any of them.
#include "app/page/server.h"
#include "tests/page/ui_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using clk = std::chrono::steady_clock;

struct served {
    ui_server *t = nullptr;
    std::string url;
    unsigned short port = 0;

    explicit served(const std::string &where = "127.0.0.1:0")
    {
        std::string why;
        t = ui_server_new(where, &url, &why);
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

} // namespace

TEST(UiServer, ListensWhereToldOrSaysWhyNot)
{
    for (const char *where : {"0", "127.0.0.1:0"}) {
        served s(where);
        EXPECT_EQ(s.url.rfind("http://127.0.0.1:", 0), 0u) << s.url;
        EXPECT_EQ(get(s.port, "/api/status").result_int(), 200) << where;
    }
    served first;
    for (const std::string &where : std::vector<std::string>{
             "", "http", "70000", "1.2.3:80", "::1:80", "[::1]80", "localhost:80",
             "127.0.0.1:", "127.0.0.1:" + std::to_string(first.port)}) {
        std::string url, why;
        ui_server *t = ui_server_new(where, &url, &why);
        EXPECT_EQ(t, nullptr) << where;
        EXPECT_FALSE(why.empty()) << where;
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
        {ui_request_text("GET", "/api/records?after=99999999999999999999999"), 400},
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
    r = get(s.port, "/api/records?after=1500");
    EXPECT_EQ(r.body(), "");
    EXPECT_EQ(r["X-Zmk-Last"], "1500");
    // The oldest are let go beyond UI_RECORDS_KEPT; the numbers say so.
    for (size_t i = 1500; i < UI_RECORDS_KEPT + 5; ++i)
        ui_server_record(s.t, "{}");
    r = get(s.port, "/api/records?after=2");
    EXPECT_EQ(r["X-Zmk-Records"], "6-" + std::to_string(5 + UI_RECORDS_PER_ANSWER));
}

// 127.0.0.2 stands in for another machine: it sees the page without the
// buttons, and may not press them; neither may a page of another site in a
// local browser.
TEST(UiServer, OnlyTheStationsOwnMachineMayStopOrResume)
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

    EXPECT_EQ(ask(s.port, ui_request_text("POST", "/api/stop"), "127.0.0.2").result_int(), 403);
    EXPECT_EQ(ask(s.port, ui_request_text("POST", "/api/stop", "Origin: http://evil.example\r\n"))
                  .result_int(),
              403);
    EXPECT_EQ(ui_server_take_request(s.t), UI_NONE);
    const std::string origin = "Origin: http://127.0.0.1\r\n"; // the Host ui_request_text sends
    EXPECT_EQ(ask(s.port, ui_request_text("POST", "/api/stop", origin)).result_int(), 204);
    EXPECT_EQ(ui_server_take_request(s.t), UI_STOP);
    EXPECT_EQ(ui_server_take_request(s.t), UI_NONE);
    EXPECT_EQ(ask(s.port, ui_request_text("POST", "/api/stop")).result_int(), 204);
    EXPECT_EQ(ask(s.port, ui_request_text("POST", "/api/resume")).result_int(), 204);
    EXPECT_EQ(ui_server_take_request(s.t), UI_RESUME); // the last one pressed
}
