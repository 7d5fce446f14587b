// Event streams: twenty viewers, one of which never reads, while the station
// publishes as fast as it can. Publishing never waits on a viewer; every
// reading viewer has the latest status within 250 ms; the one that never
// reads is closed once a write has waited UI_WRITE_MS.
#include "app/cli/ui/server.h"
#include "tests/ui/ui_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using clk = std::chrono::steady_clock;

// Statuses numbered from here on are timed by every reader.
std::atomic<int> watch_from{1 << 30};

// A viewer's stream, read on the readers' thread: when each status number
// (from `watch_from` on) first arrived.
struct reader {
    tcp::socket socket;
    std::string pending;
    char chunk[65536];
    std::map<int, clk::time_point> got;
    int rapid_events = 0; // before `watch_from`

    explicit reader(asio::io_context &io) : socket(io) {}
};

void take_events(reader *r)
{
    const auto now = clk::now();
    const char mark[] = "data: {\"seq\":";
    for (size_t end; (end = r->pending.find("\n\n")) != std::string::npos;) {
        const size_t data = r->pending.find(mark);
        if (data < end) {
            const int seq = std::atoi(r->pending.c_str() + data + sizeof mark - 1);
            if (seq >= watch_from)
                r->got.emplace(seq, now);
            else
                ++r->rapid_events;
        }
        r->pending.erase(0, end + 2);
    }
}

void read_on(reader *r)
{
    r->socket.async_read_some(asio::buffer(r->chunk), [r](beast::error_code ec, size_t n) {
        if (ec)
            return;
        r->pending.append(r->chunk, n);
        take_events(r);
        read_on(r);
    });
}

std::string status(int seq, size_t pad)
{
    return "{\"seq\":" + std::to_string(seq) + ",\"pad\":\"" + std::string(pad, 'x') + "\"}";
}

double ms(clk::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Viewers reading their streams on a thread of their own.
struct viewers {
    asio::io_context io;
    std::vector<std::unique_ptr<reader>> readers;
    std::thread thread;

    void open(unsigned short port, int n)
    {
        for (int i = 0; i < n; ++i) {
            readers.push_back(std::make_unique<reader>(io));
            reader *r = readers.back().get();
            // On the loopback, with the server listening: neither step waits.
            r->socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
            asio::write(r->socket, asio::buffer(ui_request_text("GET", "/events")));
            read_on(r);
        }
        thread = std::thread([this] { io.run_for(std::chrono::seconds(60)); });
    }
    void close()
    {
        io.stop();
        thread.join();
    }
};

// The station's side: when each status went out, and the slowest call.
struct publisher {
    ui_server *srv;
    int seq = 0;
    std::map<int, clk::time_point> sent;
    double worst_call = 0;

    void publish(size_t pad)
    {
        const std::string doc = status(++seq, pad);
        const auto t0 = clk::now();
        ui_server_status(srv, doc);
        sent[seq] = t0;
        worst_call = std::max(worst_call, ms(clk::now() - t0));
    }
};

// As fast as it can for a second and a half: documents of 64 kB, far more
// than the stuck viewer's connection holds. Then one at a time, for the
// delay a viewer sees. The number of the last rapid one.
int publish(publisher *p)
{
    for (const auto until = clk::now() + std::chrono::milliseconds(1500); clk::now() < until;)
        p->publish(65536);
    const int last_rapid = p->seq + 1;
    watch_from = last_rapid;
    p->publish(65536);
    p->sent.erase(p->sent.begin(), p->sent.find(last_rapid));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        p->publish(200);
    return last_rapid;
}

} // namespace

TEST(UiEvents, EveryViewerGetsTheLatestAndNoneHoldsUpThePublisher)
{
    std::string url, why;
    ui_server *srv = ui_server_new("127.0.0.1:0", &url, &why);
    ASSERT_NE(srv, nullptr) << why;
    const auto port = static_cast<unsigned short>(std::stoi(url.substr(url.rfind(':') + 1)));
    ui_client stuck; // asks for the stream, then never reads
    ASSERT_TRUE(stuck.connect(port) && stuck.send(ui_request_text("GET", "/events")));

    viewers v;
    v.open(port, 19);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // all streams open

    publisher p{srv};
    const int last_rapid = publish(&p);
    const auto stall_from = p.sent[last_rapid];
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    v.close();

    std::vector<double> delays;
    double last_rapid_worst = 0;
    int fewest = last_rapid, most = 0;
    for (const auto &r : v.readers) {
        ASSERT_TRUE(r->got.count(last_rapid)) << "a viewer never got the last of the rapid ones";
        last_rapid_worst = std::max(last_rapid_worst, ms(r->got[last_rapid] - p.sent[last_rapid]));
        fewest = std::min(fewest, r->rapid_events);
        most = std::max(most, r->rapid_events);
        // Until the viewer has that status or a later one: one it skipped
        // was already old when it could take the next.
        for (int i = last_rapid + 1; i <= p.seq; ++i) {
            const auto first = r->got.lower_bound(i);
            ASSERT_NE(first, r->got.end()) << "status " << i << " never arrived, nor a later one";
            delays.push_back(ms(first->second - p.sent[i]));
        }
    }
    std::sort(delays.begin(), delays.end());
    std::printf("ui_server_status: worst call %.3f ms over %d calls\n", p.worst_call, p.seq);
    std::printf("%d statuses in 1.5 s: each reader took %d to %d of them; the last reached all "
                "19 within %.1f ms\n",
                last_rapid, fewest, most, last_rapid_worst);
    std::printf("publish to viewer: median %.2f ms, 99th %.2f ms, worst %.2f ms (%zu deliveries)\n",
                delays[delays.size() / 2], delays[delays.size() * 99 / 100], delays.back(),
                delays.size());
    EXPECT_LT(p.worst_call, 100); // waiting on the stuck viewer would take seconds
    EXPECT_LT(last_rapid_worst, 250);
    EXPECT_LT(delays.back(), 250);
    // The stuck viewer is let go a write's time after its connection filled
    // (reading it earlier would let the server's write through).
    std::this_thread::sleep_until(stall_from + std::chrono::milliseconds(UI_WRITE_MS + 500));
    EXPECT_TRUE(stuck.closed_within(1000)) << stuck.ec.message();
    ui_server_free(srv);
}
