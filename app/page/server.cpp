// The server: where it listens, its thread, and what the station hands it.
#include "app/page/page.h"
#include "app/page/server_impl.h"

#include <cstdio>
#include <utility>

namespace {

bool parse_port(const std::string &text, unsigned short *port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    const unsigned long n = std::stoul(text);
    *port = static_cast<unsigned short>(n);
    return n <= 65535;
}

// "PORT", "ADDRESS:PORT" or "[V6]:PORT".
bool parse_where(const std::string &where, tcp::endpoint *out, std::string *why)
{
    std::string host = "127.0.0.1", port = where;
    const bool bracketed = !where.empty() && where[0] == '[';
    if (bracketed) {
        const size_t end = where.find("]:");
        if (end == where.npos) {
            *why = "\"" + where + "\": an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        host = where.substr(1, end - 1);
        port = where.substr(end + 2);
    } else if (const size_t colon = where.rfind(':'); colon != where.npos) {
        host = where.substr(0, colon);
        port = where.substr(colon + 1);
        if (host.find(':') != host.npos) {
            *why = "\"" + where + "\": an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
    }
    unsigned short number = 0;
    if (!parse_port(port, &number)) {
        *why = "\"" + where + "\": the port is a number from 0 to 65535";
        return false;
    }
    asio::ip::address address;
    if (!ui_ip_parse(host, &address) || bracketed != address.is_v6()) {
        *why = "\"" + where + "\": \"" + host + "\" is not a numeric IP" + (bracketed ? "v6" : "") +
               " address";
        return false;
    }
    *out = tcp::endpoint(address, number);
    return true;
}

bool listen_on(ui_server *t, const tcp::endpoint &at, std::string *why)
{
    tcp::acceptor &a = *t->acceptor;
    beast::error_code ec;
    a.open(at.protocol(), ec);
#ifndef _WIN32
    // A restarted station takes its port back at once; on Windows the same
    // option would let two stations share it.
    if (!ec)
        a.set_option(asio::socket_base::reuse_address(true), ec);
#endif
    if (!ec && at.address().is_v6() && at.address().is_unspecified())
        a.set_option(asio::ip::v6_only(false), ec); // both families on "[::]"
    if (!ec)
        a.bind(at, ec);
    if (!ec)
        a.listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
        *why = "cannot serve on " + at.address().to_string() + " port " +
               std::to_string(at.port()) + ": " + ec.message();
    return !ec;
}

std::string url_of(const tcp::endpoint &at)
{
    const asio::ip::address a = at.address();
    beast::error_code ec;
    std::string host = a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
    const std::string name = a.is_unspecified() ? asio::ip::host_name(ec) : "";
    if (!name.empty() && !ec)
        host = name; // any address: the name others reach it by
    return "http://" + host + ":" + std::to_string(at.port()) + "/";
}

void accept_next(ui_server *t);

void accepted(ui_server *t, const beast::error_code &ec, tcp::socket socket)
{
    if (ec == asio::error::operation_aborted)
        return;
    if (ec) { // out of descriptors, most likely: try again a little later
        t->retry->expires_after(std::chrono::milliseconds(100));
        t->retry->async_wait([t](const beast::error_code &e) {
            if (!e)
                accept_next(t);
        });
        return;
    }
    // Remote viewers, however many and from wherever, leave room for the
    // station's own machine (UI_LOCAL_RESERVE), and one address (one IPv6
    // /64) holds UI_PER_ADDRESS at most.
    beast::error_code e;
    const asio::ip::address peer = socket.remote_endpoint(e).address();
    if (e) // gone already
        return accept_next(t);
    if (ui_admit(t, ui_peer_local(socket), ui_peer_key(peer)))
        ui_session_start(t, std::move(socket), false);
    else if (t->refusing < UI_MAX_CONNECTIONS)
        ui_session_start(t, std::move(socket), true);
    // else: the socket closes here, refused
    accept_next(t);
}

void accept_next(ui_server *t)
{
    t->acceptor->async_accept(
        [t](const beast::error_code &ec, tcp::socket s) { accepted(t, ec, std::move(s)); });
}

void keep_alive(ui_server *t)
{
    t->keepalive->expires_after(std::chrono::milliseconds(UI_KEEPALIVE_MS));
    t->keepalive->async_wait([t](const beast::error_code &ec) {
        if (ec)
            return;
        for (ui_session *s : std::set<ui_session *>(t->streams)) {
            s->ping = true;
            ui_events_push(s);
        }
        keep_alive(t);
    });
}

// Event streams whose viewers take nothing are let go, whether anything
// changes or not.
void sweep(ui_server *t)
{
    t->sweep->expires_after(std::chrono::milliseconds(UI_SWEEP_MS));
    t->sweep->async_wait([t](const beast::error_code &ec) {
        if (ec)
            return;
        const auto now = std::chrono::steady_clock::now();
        for (ui_session *s : std::set<ui_session *>(t->streams))
            ui_events_check(s, now);
        sweep(t);
    });
}

void notify(ui_server *t)
{
    t->notify_pending = false;
    for (ui_session *s : std::set<ui_session *>(t->streams))
        ui_events_push(s);
}

// The page with or without what only the station's own machine may press.
std::string page_for(bool local)
{
    const std::string page = ui_page_html;
    const std::string begin = "<!--local-->", end = "<!--/local-->";
    const size_t from = page.find(begin), to = page.find(end);
    if (from == page.npos || to == page.npos)
        return page;
    if (local)
        return page.substr(0, from) + page.substr(from + begin.size(), to - from - begin.size()) +
               page.substr(to + end.size());
    return page.substr(0, from) + page.substr(to + end.size());
}

void run(ui_server *t)
{
    for (;;) {
        try {
            t->io->run();
            return;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "zmk-cli: the page's server: %s; it goes on\n", e.what());
        }
    }
}

} // namespace

bool ui_server_where_valid(const std::string &where, std::string *why)
{
    tcp::endpoint at;
    return parse_where(where, &at, why);
}

ui_server *ui_server_new(const std::string &where, const std::vector<std::string> &hosts,
                         std::string *url, std::string *why)
{
    tcp::endpoint at;
    if (!parse_where(where, &at, why))
        return nullptr;
    auto *t = new ui_server;
    if (!ui_hosts_parse(hosts, &t->names, &t->addresses, why)) {
        delete t;
        return nullptr;
    }
    t->io = std::make_unique<asio::io_context>(1);
    t->acceptor = std::make_unique<tcp::acceptor>(*t->io);
    if (!listen_on(t, at, why)) {
        t->acceptor.reset();
        t->io.reset();
        delete t;
        return nullptr;
    }
    beast::error_code ec;
    const tcp::endpoint bound = t->acceptor->local_endpoint(ec);
    *url = url_of(bound);
    t->bound = at.address();
    t->port = bound.port();
    t->status = std::make_shared<const std::string>("{}");
    t->metrics = std::make_shared<const std::string>("");
    // The token is only ever in the local page; never printed.
    t->token = ui_random_hex(t->random, 16);
    t->page_local = ui_page_pieces(page_for(true), t->token);
    t->page_remote = ui_page_pieces(page_for(false), "");
    t->retry = std::make_unique<asio::steady_timer>(*t->io);
    t->keepalive = std::make_unique<asio::steady_timer>(*t->io);
    t->sweep = std::make_unique<asio::steady_timer>(*t->io);
    accept_next(t);
    keep_alive(t);
    sweep(t);
    t->thread = std::thread(run, t);
    return t;
}

void ui_server_status(ui_server *t, const std::string &status_json)
{
    {
        std::lock_guard<std::mutex> hold(t->lock);
        if (*t->status == status_json)
            return;
    }
    ui_text doc = std::make_shared<const std::string>(status_json);
    {
        std::lock_guard<std::mutex> hold(t->lock);
        t->status.swap(doc);
        ++t->version;
    }
    // One wake-up at a time: however fast the station publishes, the
    // server's queue holds at most one of these.
    if (!t->notify_pending.exchange(true))
        asio::post(*t->io, [t] { notify(t); });
}

void ui_server_metrics(ui_server *t, const std::string &text)
{
    ui_text doc = std::make_shared<const std::string>(text);
    std::lock_guard<std::mutex> hold(t->lock);
    t->metrics.swap(doc);
}

void ui_server_record(ui_server *t, const std::string &record_json)
{
    ui_text r = std::make_shared<const std::string>(record_json);
    std::lock_guard<std::mutex> hold(t->records_lock);
    t->records.push_back(std::move(r));
    if (t->records.size() > UI_RECORDS_KEPT) {
        t->records.pop_front();
        ++t->records_first;
    }
}

ui_request ui_server_take_request(ui_server *t, std::string *viewer)
{
    std::lock_guard<std::mutex> hold(t->press_lock);
    if (viewer)
        *viewer = t->request_viewer;
    return std::exchange(t->request, UI_NONE);
}

std::vector<ui_clear> ui_server_take_clears(ui_server *t)
{
    std::lock_guard<std::mutex> hold(t->press_lock);
    return std::exchange(t->clears, {});
}

void ui_server_free(ui_server *t)
{
    if (!t)
        return;
    t->io->stop();
    t->thread.join();
    t->acceptor.reset();
    t->retry.reset();
    t->keepalive.reset();
    t->sweep.reset();
    t->io.reset(); // the connections close as their pending work is dropped
    delete t;
}
