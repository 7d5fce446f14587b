// The slot table: which tile a port's device lands on, and what stays on a
// tile once its device is gone.
#include "app/page/slots.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace {

bool named_match(const ui_slot &s, const std::string &port, const port_info &usb)
{
    if (s.pattern.empty())
        return false;
    return s.usb_path ? usb.location[0] && ui_glob(s.pattern.c_str(), usb.location)
                      : ui_glob(s.pattern.c_str(), port.c_str());
}

// A port slot beyond the limit: the one not plugged in that was used the
// longest ago goes (ports of pseudo-terminals or re-enumerated adapters
// would otherwise pile up); never one used as lately as `keep`.
void forget_old(ui_slots *t, const ui_slot *keep)
{
    const auto unnamed = [](const ui_slot &s) { return s.pattern.empty(); };
    if (size_t(std::count_if(t->slots.begin(), t->slots.end(), unnamed)) <= UI_PORT_SLOTS_MAX)
        return;
    auto oldest = t->slots.end();
    for (auto it = t->slots.begin(); it != t->slots.end(); ++it)
        if (unnamed(*it) && it->present != 1 && it->used_ms != keep->used_ms &&
            (oldest == t->slots.end() || int32_t(it->used_ms - oldest->used_ms) < 0))
            oldest = it;
    if (oldest != t->slots.end())
        t->slots.erase(oldest);
}

// `[...]` at `p`: whether `c` is in the class; `*end` after its `]`.
// nullptr for an unclosed one (then `[` is itself).
bool in_class(const char *p, char c, const char **end)
{
    const bool negate = p[1] == '!';
    bool in = false;
    const char *q = p + 1 + negate;
    for (bool first = true; *q && (first || *q != ']'); first = false, ++q) {
        if (q[1] == '-' && q[2] && q[2] != ']') {
            in = in || (c >= q[0] && c <= q[2]);
            q += 2;
        } else {
            in = in || c == *q;
        }
    }
    *end = *q ? q + 1 : nullptr;
    return in != negate;
}

} // namespace

bool ui_glob(const char *pattern, const char *text)
{
    const char *star = nullptr, *resume = nullptr;
    while (*text) {
        const char *after = nullptr;
        const bool in = *pattern == '[' && in_class(pattern, *text, &after);
        const bool klass = after != nullptr;
        if (*pattern == '*') {
            star = pattern++;
            resume = text;
        } else if (klass && in) {
            pattern = after;
            ++text;
        } else if (!klass && (*pattern == '?' || (*pattern && *pattern == *text))) {
            ++pattern;
            ++text;
        } else if (star) {
            pattern = star + 1;
            text = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == 0;
}

ui_slots *ui_slots_new() { return new ui_slots; }

void ui_slots_free(ui_slots *t) { delete t; }

line_status ui_slots_parse(ui_slots *t, const std::string &text, std::string *why)
{
    const size_t eq = text.find('=');
    ui_slot s;
    s.name = text.substr(0, eq);
    s.pattern = eq == text.npos ? "" : text.substr(eq + 1);
    const std::string usb = "usb-path:";
    s.usb_path = s.pattern.compare(0, usb.size(), usb) == 0;
    if (s.usb_path)
        s.pattern.erase(0, usb.size());
    if (s.name.empty() || s.pattern.empty()) {
        *why = "\"" + text +
               "\": a slot is NAME=PATTERN (a glob on the port's path, or "
               "usb-path:LOCATION)";
        return LINE_REFUSED;
    }
    for (const ui_slot &other : t->slots)
        if (other.name == s.name) {
            *why = "\"" + text + "\": the slot " + s.name + " is named twice";
            return LINE_REFUSED;
        }
    // After the named ones already there, before any named after a port.
    const auto first_port = std::find_if(t->slots.begin(), t->slots.end(),
                                         [](const ui_slot &x) { return x.pattern.empty(); });
    t->slots.insert(first_port, s);
    return LINE_OK;
}

const ui_slot *ui_slots_find(const ui_slots *t, const std::string &port, const port_info &usb)
{
    for (const ui_slot &s : t->slots)
        if (named_match(s, port, usb) || (s.pattern.empty() && s.name == port))
            return &s;
    return nullptr;
}

ui_slot *ui_slots_of(ui_slots *t, const std::string &port, const port_info &usb, uint32_t now_ms)
{
    auto *found = const_cast<ui_slot *>(ui_slots_find(t, port, usb));
    if (!found) {
        t->slots.push_back(ui_slot{});
        found = &t->slots.back();
        found->name = port;
    }
    found->port = port;
    found->used_ms = now_ms;
    forget_old(t, found);
    return found;
}

void ui_slots_seen(ui_slots *t, const port_info *present, int n, uint32_t now_ms)
{
    for (ui_slot &s : t->slots)
        s.present = 0;
    for (int i = 0; i < n; ++i)
        ui_slots_of(t, present[i].path, present[i], now_ms)->present = 1;
}

void ui_slots_end(ui_slots *t, const snapshot_end &e)
{
    const uint32_t end_ms = e.start_ms + uint32_t(e.seconds * 1000);
    if (!t->started) {
        t->started = true;
        t->first_ms = e.start_ms;
    }
    ui_result &r = ui_slots_of(t, e.port, e.usb, end_ms)->last;
    r = ui_result{};
    r.state = e.in_use ? "in-use" : e.passed ? "pass" : "fail";
    r.result = e.result;
    r.reason = e.message;
    r.next = e.next;
    r.seconds = e.seconds;
    r.usb_serial = e.usb.serial;
    r.serial = e.serial;
    r.serial_state = e.serial_state;
    r.reply_ms = e.reply_ms;
}

const ui_slot *ui_slots_held(const ui_slots *t, const std::string &port)
{
    for (const ui_slot &s : t->slots)
        if (s.port == port)
            return &s;
    static const port_info unknown{};
    return ui_slots_find(t, port, unknown);
}

const char *const UI_NOT_STARTED_STOPPED = "plugged in, not started: the station is stopped";

void ui_slots_take(ui_slots *t, const snapshot &s, uint32_t now_ms)
{
    std::map<std::string, int> was; // whether each slot's port was there before
    if (s.ports_known) {
        for (const ui_slot &slot : t->slots)
            was[slot.name] = slot.present;
        ui_slots_seen(t, s.present.data(), int(s.present.size()), now_ms);
    }
    for (const snapshot_end &e : s.ended)
        ui_slots_end(t, e);
    std::set<const ui_slot *> running;
    for (const snapshot_device &d : s.running) {
        if (!t->started || int32_t(d.start_ms - t->first_ms) < 0)
            t->first_ms = d.start_ms;
        t->started = true;
        ui_slot *slot = ui_slots_of(t, d.port, d.usb, now_ms);
        slot->last = ui_result{}; // the next device started here
        running.insert(slot);
    }
    // A device plugged in while nothing is started: its tile no longer
    // shows what the one before it came to.
    if (s.ports_known && (s.stopping || !s.halt.empty()))
        for (ui_slot &slot : t->slots) {
            const auto before = was.find(slot.name);
            if (slot.present == 1 && (before == was.end() || before->second != 1) &&
                !running.count(&slot)) {
                slot.last = ui_result{};
                slot.last.state = "waiting";
                slot.last.detail = UI_NOT_STARTED_STOPPED;
            }
        }
    static const port_info unknown{};
    for (const snapshot_busy &b : s.busy)
        if (!ui_slots_held(t, b.port))
            ui_slots_of(t, b.port, unknown, now_ms);
    for (; t->counted < s.programmed; ++t->counted)
        t->ends.push_back(now_ms);
    while (!t->ends.empty() && now_ms - t->ends.front() > 3600000)
        t->ends.pop_front();
}
