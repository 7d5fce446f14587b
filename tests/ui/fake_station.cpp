// A scripted station session served through the page's server, for the
// browser test: four slots programming at once that end PASS, PASS, PASS
// and FAIL, two unplugged, a port another program holds, then another port
// appearing and passing.
// Stop and Resume pressed on the page turn the station stopping and back.
//   ui-fake-station [--ui [ADDRESS:]PORT] [--name NAME] [--from SECONDS] [--for SECONDS]
//                   [--wait-go 1]
// prints "url URL" once it serves; --from starts the script that far in;
// --wait-go holds it at its start until a line comes on standard input; it
// ends after --for seconds (120) of script.
#include "app/cli/ui/server.h"
#include "app/cli/ui/status.h"
#include "platform/tick.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

struct scripted {
    const char *port, *location;
    double end_s;                // when it ends
    bool pass;                   // how
    double stall_from, stall_to; // the device acknowledges nothing meanwhile
    const char *stall_text;
    double unplug_s; // when it is taken out, 0: never
};

const double START_S[] = {0, 0, 0, 0, 6};
const scripted DEVICES[] = {
    {"/dev/ttyFAKE0", "1-1.1", 4.0, true, 0, 0, "", 5.0},
    {"/dev/ttyFAKE1", "1-1.2", 4.2, true, 2.0, 2.8,
     "no answer for 2 s, waiting on PROGRAM at 0x4c00 (gives up at 30 s)", 0},
    {"/dev/ttyFAKE2", "1-1.3", 4.4, true, 0, 0, "", 0},
    {"/dev/ttyFAKE3", "1-1.4", 4.0, false, 0.5, 4.0, "still erasing for 2 s (gives up at 3 s)",
     5.0},
    {"/dev/ttyFAKE4", "1-1.5", 12.0, true, 0, 0, "", 0},
};
const char *FAIL_TEXT = "the erase did not finish within 3 s: the device still answers BUSY to "
                        "the erase poll";
constexpr uint32_t IMAGE_SIZE = 60800;

void progress(gang_device &d, const scripted &s, double at, double start)
{
    const double t = at - start;
    cli_watch &w = d.watch;
    w.exchanges = 1 + uint32_t(t * 10);
    w.last.total = IMAGE_SIZE;
    w.last.state = t < 0.5 ? LPROG_ERASE : t < 1.0 || !s.pass ? LPROG_WAIT_ERASE : LPROG_PROGRAM;
    const double share = std::min(1.0, std::max(0.0, (t - 1.0) / (s.end_s - start - 1.5)));
    w.last.done = w.last.state == LPROG_PROGRAM ? uint32_t(share * IMAGE_SIZE) / 256 * 256 : 0;
    const bool stalled = t >= s.stall_from && t < s.stall_to;
    std::snprintf(w.waiting, sizeof w.waiting, "%s", stalled ? s.stall_text : "");
}

std::string record_of(const gang_device &d, const cli_outcome &o)
{
    return nlohmann::json{{"port", d.port},       {"usb", {{"serial", d.usb.serial}}},
                          {"result", o.result},   {"message", o.message},
                          {"seconds", o.seconds}, {"serial", {{"value", d.claim.value}}}}
        .dump();
}

struct session {
    cli_options opt;
    cli_image image{{}, "firmware-2.4.1.bin", IMAGE_SIZE, 0x5eed1234};
    gang g{};
    ui_slots *slots = ui_slots_new();
    ui_station about;
    ui_server *server = nullptr;
    bool started[5] = {};
    bool held_told = false;
};

void begin(session *s, int i, uint32_t now)
{
    gang_device &d = s->g.running.emplace_back();
    d.port = DEVICES[i].port;
    std::snprintf(d.usb.location, sizeof d.usb.location, "%s", DEVICES[i].location);
    std::snprintf(d.usb.serial, sizeof d.usb.serial, "FT7Q%02dA", i + 1);
    d.usb.usb = true;
    d.start_ms = now;
    d.claimed = true;
    d.claim.value = 100231 + uint64_t(i);
    s->started[i] = true;
}

void finish(session *s, gang_device &d, int i, double at)
{
    const bool pass = DEVICES[i].pass;
    cli_outcome o{pass ? 0 : 3, pass ? "ok" : "erase-timeout", "", at - START_S[i], 0, 0};
    std::snprintf(o.message, sizeof o.message, "%s", pass ? "" : FAIL_TEXT);
    ++s->g.programmed;
    ++(pass ? s->g.ok : s->g.failed);
    ui_slots_end(s->slots, d, o);
    ui_server_record(s->server, record_of(d, o));
}

// A port another program holds: asked for again from 1 s, reported at 5 s.
void hold(session *s, double at, uint32_t now, std::vector<port_info> *present)
{
    const char *port = "/dev/ttyFAKE5";
    if (at >= 1.0) {
        present->emplace_back();
        std::snprintf(present->back().path, sizeof present->back().path, "%s", port);
    }
    if (at >= 1.0 && at < 5.0 && !s->g.busy.count(port))
        s->g.busy[port] = gang_busy{now, now, false};
    if (at >= 5.0 && !s->held_told) {
        s->g.busy.erase(port);
        gang_device d;
        d.port = port;
        ui_slots_end(
            s->slots, d,
            cli_outcome{1, "in-use", "in use by another program: modem-probe (pid 612)", 0, 0, 0});
        ++s->g.in_use;
        s->held_told = true;
    }
}

// The script at `at` seconds: devices start, move on, end, are taken out.
void play(session *s, double at, uint32_t now)
{
    for (int i = 0; i < 5; ++i)
        if (!s->started[i] && at >= START_S[i])
            begin(s, i, now - uint32_t((at - START_S[i]) * 1000));
    for (auto it = s->g.running.begin(); it != s->g.running.end();) {
        const int i = int(it->port.back() - '0');
        progress(*it, DEVICES[i], at, START_S[i]);
        if (at >= DEVICES[i].end_s) {
            finish(s, *it, i, DEVICES[i].end_s);
            it = s->g.running.erase(it);
        } else {
            ++it;
        }
    }
    std::vector<port_info> present;
    for (int i = 0; i < 5; ++i)
        if (s->started[i] && !(DEVICES[i].unplug_s && at >= DEVICES[i].unplug_s)) {
            present.emplace_back();
            std::snprintf(present.back().path, sizeof present.back().path, "%s", DEVICES[i].port);
            std::snprintf(present.back().location, sizeof present.back().location, "%s",
                          DEVICES[i].location);
        }
    hold(s, at, now, &present);
    ui_slots_seen(s->slots, present.data(), int(present.size()), now);
}

struct options {
    std::string where = "127.0.0.1:0";
    double from = 0, limit = 120;
    bool wait_go = false;
};

options parse(int argc, char **argv, session *s)
{
    options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--ui")
            o.where = value;
        else if (name == "--name")
            s->about.name = value;
        else if (name == "--from")
            o.from = std::stod(value);
        else if (name == "--for")
            o.limit = std::stod(value);
        else if (name == "--wait-go")
            o.wait_go = value == "1";
    }
    return o;
}

// Ten times a second: the script moves on, Stop or Resume is taken, the
// status goes out.
std::atomic<bool> go;

void serve(session *s, const options &o)
{
    go = !o.wait_go;
    std::thread([] {
        char line[16];
        std::fgets(line, sizeof line, stdin); // a line, or the end of the input
        go = true;
    }).detach();
    uint32_t t0 = platform_tick_ms() - uint32_t(o.from * 1000);
    for (;;) {
        const uint32_t now = platform_tick_ms();
        if (!go)
            t0 = now - uint32_t(o.from * 1000);
        const double at = (now - t0) / 1000.0;
        if (at - o.from > o.limit)
            return;
        if (go)
            play(s, at, now);
        if (const ui_request r = ui_server_take_request(s->server); r != UI_NONE) {
            s->about.stopping = r == UI_STOP;
            std::printf("pressed %s\n", r == UI_STOP ? "stop" : "resume");
            std::fflush(stdout);
        }
        s->about.today_programmed = 212 + s->g.programmed;
        s->about.today_ok = 209 + s->g.ok;
        s->about.today_failed = 3 + s->g.failed;
        ui_server_status(s->server, ui_status_json(&s->g, s->slots, s->about, now));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace

int main(int argc, char **argv)
{
    static session s;
    s.opt.station = true;
    s.g.opt = &s.opt;
    s.g.image = &s.image;
    s.g.host = "bench-3";
    s.about.today_known = true;
    const options o = parse(argc, argv, &s);
    std::string url, why;
    for (const char *slot : {"bay-1=/dev/ttyFAKE0", "bay-2=usb-path:1-1.2", "bay-3=/dev/ttyFAKE2",
                             "bay-4=/dev/ttyFAKE[3]"})
        if (ui_slots_parse(s.slots, slot, &why) != 0)
            return std::fprintf(stderr, "%s\n", why.c_str()), 2;
    s.server = ui_server_new(o.where, &url, &why);
    if (!s.server)
        return std::fprintf(stderr, "ui-fake-station: %s\n", why.c_str()), 1;
    std::printf("url %s\n", url.c_str());
    std::fflush(stdout);
    serve(&s, o);
    ui_server_free(s.server);
    ui_slots_free(s.slots);
    return 0;
}
