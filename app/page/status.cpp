// The status document. Every field of a tile is always there (null when not
// known), so that the page fills each tile the same way.
#include "app/page/status.h"

#include "layers/lprog.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
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
                {"serial", nullptr},
                {"serial_state", nullptr}};
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
    j["serial_state"] = text_or_null(r.serial_state);
}

// How a running device stands: its phase and progress, or what the engine
// says while the device acknowledges nothing.
void put_running(json &j, const snapshot_device &d, uint32_t now_ms)
{
    j["state"] = d.waiting == ZMK_GOING      ? "programming"
                 : d.waiting == ZMK_ERASING  ? "erasing"
                 : d.waiting == ZMK_REFUSING ? "refusing"
                                             : "no-answer";
    j["phase"] = d.exchanges ? lprog_phase_name(d.phase) : "Starting";
    j["done"] = std::min(d.done, d.total);
    j["total"] = d.total;
    j["detail"] = text_or_null(d.detail);
    j["seconds"] = (now_ms - d.start_ms) / 1000;
    j["usb_serial"] = text_or_null(d.usb.serial);
    j["serial"] = text_or_null(d.serial);
}

// The devices counted as programmed in the last hour, per hour; null before
// the first.
json per_hour(const ui_slots *t, uint32_t now_ms)
{
    if (t->ends.empty() || !t->started)
        return nullptr;
    const uint32_t since = std::min(now_ms - t->first_ms, HOUR_MS);
    return double(int(t->ends.size() * double(HOUR_MS) / std::max(since, 1000u) * 10)) / 10;
}

json counts(const snapshot &s, const ui_slots *t, uint32_t now_ms)
{
    return json{{"programmed", s.programmed},
                {"ok", s.ok},
                {"failed", s.failed},
                {"yield", s.programmed ? json(double(int(1000.0 * s.ok / s.programmed)) / 10)
                                       : json(nullptr)},
                {"per_hour", per_hour(t, now_ms)},
                {"in_use", s.in_use},
                {"not_started", s.not_started}};
}

json image(const snapshot &s)
{
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", unsigned(s.image_crc32));
    return json{{"name", s.image_name}, {"size", s.image_size}, {"crc32", crc}};
}

// Every slot's tile: the running device there, else a port another program
// holds (asked for again), else what the last device came to.
json tiles(const snapshot &s, const ui_slots *t, uint32_t now_ms)
{
    std::map<const ui_slot *, json> live;
    for (const snapshot_device &d : s.running)
        if (const ui_slot *slot = ui_slots_find(t, d.port, d.usb))
            put_running(live[slot] = tile(*slot), d, now_ms);
    for (const snapshot_busy &b : s.busy) {
        const ui_slot *slot = ui_slots_held(t, b.port);
        if (!slot || live.count(slot))
            continue;
        json &j = live[slot] = tile(*slot);
        j["state"] = "in-use";
        j["detail"] = "another program holds the port; asking again";
        j["seconds"] = (now_ms - b.first_ms) / 1000;
    }
    json out = json::array();
    for (const ui_slot &slot : t->slots) {
        const auto it = live.find(&slot);
        out.push_back(it != live.end() ? it->second : tile(slot));
        if (it == live.end() && !slot.last.state.empty())
            put_result(out.back(), slot.last);
    }
    return out;
}

} // namespace

std::string ui_status_json(const snapshot &s, const ui_slots *slots, uint32_t now_ms)
{
    json today = nullptr;
    if (s.today_known)
        today = json{{"programmed", s.today_programmed},
                     {"ok", s.today_ok},
                     {"failed", s.today_programmed - s.today_ok}};
    const char *state = !s.stopping ? "running" : s.running.empty() ? "stopped" : "stopping";
    return json{{"station", s.station}, {"state", state},
                {"image", image(s)},    {"counts", counts(s, slots, now_ms)},
                {"today", today},       {"slots", tiles(s, slots, now_ms)}}
        .dump(-1, ' ', false, json::error_handler_t::replace); // any byte a port's name holds
}
