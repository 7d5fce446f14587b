// The status document. Every field of a tile is always there (null when not
// known), so that the page fills each tile the same way.
#include "app/page/status.h"

#include "layers/lprog.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <cctype>
#include <cstring>

namespace {

using json = nlohmann::ordered_json;

constexpr uint32_t HOUR_MS = 3600000;

json text_or_null(const std::string &s) { return s.empty() ? json(nullptr) : json(s); }

// One decimal, rounded as the console prints it ("%.1f").
double one_decimal(double x)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", x);
    return std::strtod(text, nullptr);
}

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
                {"plain", nullptr},
                {"command", nullptr},
                {"seconds", nullptr},
                {"usb_serial", nullptr},
                {"serial", nullptr},
                {"serial_state", nullptr},
                {"reply_ms", nullptr},
                {"adapter", nullptr},
                {"insertions", nullptr},
                {"service_due", false}};
}

// A bay held after failures in a row, unless a device runs there (one
// started before it was held), and one past its rated insertions.
void put_bay(json &j, const snapshot_bay &b)
{
    j["insertions"] = b.insertions;
    j["service_due"] = b.worn;
    static const char *const running[] = {"programming", "erasing", "no-answer", "refusing"};
    if (!b.held ||
        std::find(std::begin(running), std::end(running), j["state"]) != std::end(running))
        return;
    j["state"] = "held";
    j["reason"] = "held after " + b.why;
    j["plain"] = j["reason"];
    j["command"] = nullptr;
    j["next"] = "check the bay's contacts and cable, then Clear it";
}

// The engine's words in `text` as `plain` and `command`; the tile's port
// is "the port" in them (the tile is named).
void put_words(json &j, const std::string &text, const std::string &port = "")
{
    if (text.empty())
        return;
    ui_words w = ui_split_message(text);
    const size_t at = port.empty() ? std::string::npos : w.plain.find(port);
    if (at != std::string::npos)
        w.plain.replace(at, port.size(), "the port");
    j["plain"] = w.plain;
    j["command"] = text_or_null(w.command);
}

// The last run's wait for a reply to start; past a few milliseconds the
// bay's USB serial adapter holds replies, and every exchange pays for it.
void put_reply(json &j, double reply_ms)
{
    if (reply_ms < 0)
        return;
    j["reply_ms"] = one_decimal(reply_ms);
    if (reply_ms > UI_SLOW_REPLY_MS) {
        char text[64];
        std::snprintf(text, sizeof text, "slow adapter: %.0f ms a reply", reply_ms);
        j["adapter"] = text;
    }
}

// A device that waits (plugged in while the station is stopped) says so
// only while it is there and the station still starts nothing.
void put_result(json &j, const ui_result &r, const ui_slot &slot, bool halted)
{
    if (r.state == "waiting") {
        if (slot.present == 1 && halted)
            j["detail"] = r.detail;
        return;
    }
    j["state"] = r.state;
    j["result"] = r.result;
    j["reason"] = text_or_null(r.reason);
    j["next"] = text_or_null(r.next);
    put_words(j, r.reason, slot.port);
    // A port another program held was never touched: no time of its own.
    j["seconds"] = r.state == "in-use" ? json(nullptr) : json(one_decimal(r.seconds));
    j["usb_serial"] = text_or_null(r.usb_serial);
    // A number that went back to the pool is not this device's.
    j["serial"] = r.serial_state == "returned" ? json(nullptr) : text_or_null(r.serial);
    j["serial_state"] = text_or_null(r.serial_state);
    put_reply(j, r.reply_ms);
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
    if (d.waiting != ZMK_GOING)
        put_words(j, d.detail);
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
    return one_decimal(t->ends.size() * double(HOUR_MS) / std::max(since, 1000u));
}

json counts(const snapshot &s, const ui_slots *t, uint32_t now_ms)
{
    return json{
        {"programmed", s.programmed},
        {"ok", s.ok},
        {"failed", s.failed},
        {"yield", s.programmed ? json(one_decimal(100.0 * s.ok / s.programmed)) : json(nullptr)},
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
// holds (asked for again), else what the last device came to. A port held
// by another program that is being asked for again stays IN USE until its
// device answers.
json tiles(const snapshot &s, const ui_slots *t, uint32_t now_ms)
{
    std::map<const ui_slot *, json> live;
    const auto asked_again = [&](const snapshot_device &d) {
        return d.exchanges == 0 &&
               std::any_of(s.busy.begin(), s.busy.end(),
                           [&](const snapshot_busy &b) { return b.port == d.port; });
    };
    for (const snapshot_device &d : s.running)
        if (const ui_slot *slot = ui_slots_find(t, d.port, d.usb); slot && !asked_again(d))
            put_running(live[slot] = tile(*slot), d, now_ms);
    for (const snapshot_busy &b : s.busy) {
        const ui_slot *slot = ui_slots_held(t, b.port);
        if (!slot || live.count(slot))
            continue;
        json &j = live[slot] = tile(*slot);
        j["state"] = "in-use";
        j["detail"] = "another program holds the port; asking again";
        j["plain"] = j["detail"];
        j["seconds"] = (now_ms - b.first_ms) / 1000;
    }
    const bool halted = s.stopping || !s.halt.empty();
    json out = json::array();
    for (const ui_slot &slot : t->slots) {
        const auto it = live.find(&slot);
        out.push_back(it != live.end() ? it->second : tile(slot));
        if (it == live.end() && !slot.last.state.empty())
            put_result(out.back(), slot.last, slot, halted);
        for (const snapshot_bay &b : s.bays)
            if (b.slot == slot.name)
                put_bay(out.back(), b);
    }
    return out;
}

// How soon each state needs the operator: the lower the sooner; -1 never.
int urgency(const std::string &state)
{
    static const char *const order[] = {"held", "fail", "in-use", "no-answer", "refusing"};
    for (int i = 0; i < int(std::size(order)); ++i)
        if (state == order[i])
            return i;
    return -1;
}

// What the operator does for a tile: its next step, else why it stands.
std::string next_step(const json &tile)
{
    if (tile["state"] == "in-use" && !tile["next"].is_string())
        return "close the program that holds the port";
    for (const char *field : {"next", "plain", "reason", "detail", "result"})
        if (tile[field].is_string() && !tile[field].get<std::string>().empty())
            return tile[field];
    return "";
}

// The slots that need the operator now: the most urgent first, then in
// the tiles' order.
json needs(const json &tiles)
{
    std::vector<std::pair<int, const json *>> found;
    for (const json &t : tiles)
        if (urgency(t["state"]) >= 0)
            found.emplace_back(urgency(t["state"]), &t);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    json out = json::array();
    for (const auto &[_, t] : found)
        out.push_back(
            json{{"slot", (*t)["name"]}, {"state", (*t)["state"]}, {"text", next_step(*t)}});
    return out;
}

// The length of the command named at `from` as verdict_describe() names it
// ("the erase poll", "PROGRAM at 0x4c00", "RESET"); 0 when none is.
size_t command_length(const std::string &text, size_t from)
{
    if (text.compare(from, 14, "the erase poll") == 0)
        return 14;
    for (const char *name : {"PROGRAM", "ERASE", "RTC_SET", "RESET"}) {
        const size_t n = std::strlen(name);
        if (text.compare(from, n, name) != 0)
            continue;
        if (text.compare(from + n, 6, " at 0x") != 0)
            return n;
        size_t end = from + n + 6;
        while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end])))
            ++end;
        return end > from + n + 6 ? end - from : n;
    }
    return 0;
}

} // namespace

ui_words ui_split_message(const std::string &text)
{
    // "no answer for 7 s, waiting on PROGRAM at 0x4c00 (gives up at 30 s)",
    // "the device disconnected while waiting on ERASE", "the device stopped
    // answering: nothing acknowledged for 15.0 s while waiting on ...",
    // "interrupted while waiting on PROGRAM at 0x4c00: the device is ...".
    for (size_t at = text.find(" waiting on "); at != text.npos;
         at = text.find(" waiting on ", at + 1)) {
        const size_t from = at + 12, n = command_length(text, from);
        std::string plain = text.substr(0, at);
        for (const char *joint : {",", " while"})
            if (plain.size() >= std::strlen(joint) &&
                plain.compare(plain.size() - std::strlen(joint), plain.npos, joint) == 0)
                plain.resize(plain.size() - std::strlen(joint));
        if (n > 0 && !plain.empty())
            return {plain + text.substr(from + n), text.substr(from, n)};
    }
    // "the device refuses PROGRAM at 0x1900: it answers NAK".
    const std::string refuses = "the device refuses ";
    if (text.rfind(refuses, 0) == 0) {
        const size_t n = command_length(text, refuses.size());
        if (n > 0 && text.compare(refuses.size() + n, 2, ": ") == 0)
            return {"the device refuses: " + text.substr(refuses.size() + n + 2),
                    text.substr(refuses.size(), n)};
    }
    // "answers NAK to PROGRAM at 0x4c00 (gives up at 30 s)".
    if (text.rfind("answers ", 0) == 0)
        for (size_t at = text.find(" to ", 8); at != text.npos; at = text.find(" to ", at + 1))
            if (const size_t n = command_length(text, at + 4); n > 0)
                return {text.substr(0, at) + text.substr(at + 4 + n), text.substr(at + 4, n)};
    return {text, ""};
}

std::string ui_status_json(const snapshot &s, const ui_slots *slots, uint32_t now_ms)
{
    json today = nullptr;
    if (s.today_known)
        today = json{{"programmed", s.today_programmed},
                     {"ok", s.today_ok},
                     {"failed", s.today_programmed - s.today_ok}};
    const bool halted = s.stopping || !s.halt.empty();
    const char *state = !halted ? "running" : s.running.empty() ? "stopped" : "stopping";
    json all = tiles(s, slots, now_ms);
    json wanted = needs(all);
    return json{{"station", s.station},
                {"state", state},
                {"halt", text_or_null(s.halt)},
                {"job", s.job_name.empty() ? json(nullptr)
                                           : json{{"name", s.job_name},
                                                  {"version", s.job_version},
                                                  {"sealed", s.job_sealed}}},
                {"image", image(s)},
                {"counts", counts(s, slots, now_ms)},
                {"today", today},
                {"needs", std::move(wanted)},
                {"slots", std::move(all)}}
        .dump(-1, ' ', false, json::error_handler_t::replace); // any byte a port's name holds
}
