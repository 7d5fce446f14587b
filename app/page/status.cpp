// The status document. Every field of a tile is always there (null when not
// known), so that the page fills each tile the same way.
#include "app/page/status.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

using json = nlohmann::ordered_json;

constexpr uint32_t HOUR_MS = 3600000;

json text_or_null(const std::string &s) { return s.empty() ? json(nullptr) : json(s); }

json tile(const ui_slot &s)
{
    return json{{"name", s.name},
                {"port", text_or_null(s.port)},
                {"present", s.present < 0 ? json(nullptr) : json(s.present == 1)},
                {"state", "waiting"},
                {"phase", nullptr},
                {"done", nullptr},
                {"total", nullptr},
                {"detail", nullptr},
                {"result", nullptr},
                {"reason", nullptr},
                {"next", nullptr},
                {"seconds", nullptr},
                {"usb_serial", nullptr},
                {"serial", nullptr}};
}

void put_result(json &j, const ui_result &r)
{
    j["state"] = r.state;
    j["result"] = r.result;
    j["reason"] = text_or_null(r.reason);
    j["next"] = text_or_null(r.next);
    // A port another program held was never touched: no time of its own.
    j["seconds"] =
        r.state == "in-use" ? json(nullptr) : json(double(int(r.seconds * 10 + 0.5)) / 10);
    j["usb_serial"] = text_or_null(r.usb_serial);
    j["serial"] = text_or_null(r.serial);
}

// How a running device stands: its phase and progress, or what the engine
// says while the device acknowledges nothing.
void put_running(json &j, const gang_device &d, uint32_t now_ms)
{
    const cli_watch &w = d.watch;
    j["state"] = !w.waiting[0]                            ? "programming"
                 : w.last.state == LPROG_WAIT_ERASE       ? "erasing"
                 : std::strncmp(w.waiting, "answers ", 8) ? "no-answer"
                                                          : "refusing";
    j["phase"] = w.exchanges ? lprog_phase_name(w.last.state) : "Starting";
    j["done"] = std::min(w.last.done, w.last.total);
    j["total"] = w.last.total;
    j["detail"] = text_or_null(w.waiting);
    j["seconds"] = (now_ms - d.start_ms) / 1000;
    j["usb_serial"] = text_or_null(d.usb.serial);
    j["serial"] = text_or_null(ui_serial_of(d));
}

// The devices counted as programmed in the last hour, per hour; null before
// the first.
json per_hour(const gang *g, ui_slots *t, uint32_t now_ms)
{
    for (; t->counted < g->programmed; ++t->counted)
        t->ends.push_back(now_ms);
    while (!t->ends.empty() && now_ms - t->ends.front() > HOUR_MS)
        t->ends.pop_front();
    if (t->ends.empty() || !t->started)
        return nullptr;
    const uint32_t since = std::min(now_ms - t->first_ms, HOUR_MS);
    return double(int(t->ends.size() * double(HOUR_MS) / std::max(since, 1000u) * 10)) / 10;
}

json counts(const gang *g, ui_slots *t, uint32_t now_ms)
{
    return json{{"programmed", g->programmed},
                {"ok", g->ok},
                {"failed", g->failed},
                {"yield", g->programmed ? json(double(int(1000.0 * g->ok / g->programmed)) / 10)
                                        : json(nullptr)},
                {"per_hour", per_hour(g, t, now_ms)},
                {"in_use", g->in_use},
                {"not_started", g->not_started}};
}

json image(const cli_image &i)
{
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", unsigned(i.crc32));
    return json{{"name", i.name}, {"size", i.size}, {"crc32", crc}};
}

ui_slot *slot_had(ui_slots *t, const std::string &port)
{
    for (ui_slot &s : t->slots)
        if (s.port == port)
            return &s;
    return nullptr;
}

// Every slot's tile: the running device there, else a port another program
// holds (asked for again), else what the last device came to.
json tiles(const gang *g, ui_slots *t, uint32_t now_ms)
{
    std::map<const ui_slot *, json> live;
    for (const gang_device &d : g->running) {
        if (!t->started || int32_t(d.start_ms - t->first_ms) < 0)
            t->first_ms = d.start_ms;
        t->started = true;
        ui_slot *s = ui_slots_of(t, d.port, d.usb, now_ms);
        s->last = ui_result{}; // the next device started here
        put_running(live[s] = tile(*s), d, now_ms);
    }
    for (const auto &[port, busy] : g->busy) {
        if (busy.reported)
            continue;
        ui_slot *s = slot_had(t, port);
        static const port_info unknown{};
        s = s ? s : ui_slots_of(t, port, unknown, now_ms);
        if (live.count(s))
            continue;
        json &j = live[s] = tile(*s);
        j["state"] = "in-use";
        j["detail"] = "another program holds the port; asking again";
        j["seconds"] = (now_ms - busy.first_ms) / 1000;
    }
    json out = json::array();
    for (const ui_slot &s : t->slots) {
        const auto it = live.find(&s);
        out.push_back(it != live.end() ? it->second : tile(s));
        if (it == live.end() && !s.last.state.empty())
            put_result(out.back(), s.last);
    }
    return out;
}

} // namespace

std::string ui_status_json(const gang *g, ui_slots *slots, const ui_station &s, uint32_t now_ms)
{
    const json t = tiles(g, slots, now_ms);
    json today = nullptr;
    if (s.today_known)
        today = json{
            {"programmed", s.today_programmed}, {"ok", s.today_ok}, {"failed", s.today_failed}};
    const char *state = !s.stopping ? "running" : g->running.empty() ? "stopped" : "stopping";
    return json{{"station", s.name.empty() ? g->host : s.name},
                {"state", state},
                {"image", image(*g->image)},
                {"counts", counts(g, slots, now_ms)},
                {"today", today},
                {"slots", t}}
        .dump(-1, ' ', false, json::error_handler_t::replace); // any byte a port's name holds
}
