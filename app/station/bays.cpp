#include "app/station/bays.h"

#include "app/page/slots.h"
#include "platform/tick.h"

namespace {

bay_health &bay_of(bays *t, const std::string &port, const port_info &usb, std::string *name)
{
    *name = ui_slots_of(t->names, port, usb, platform_tick_ms())->name;
    return t->by_name[*name];
}

} // namespace

bays *bays_new(const std::vector<std::string> &slots, int64_t hold_after, int64_t rated)
{
    auto *t = new bays;
    t->names = ui_slots_new();
    std::string why;
    for (const std::string &named : slots)
        (void)ui_slots_parse(t->names, named, &why); // refused before, by the page's own parse
    t->hold_after = hold_after;
    t->rated = rated;
    return t;
}

void bays_free(bays *t)
{
    if (!t)
        return;
    ui_slots_free(t->names);
    delete t;
}

bool bays_load(bays *t, store *db, const std::string &station, std::string *why)
{
    if (!t || !db)
        return true;
    t->db = db;
    t->station = station;
    std::vector<std::pair<std::string, int64_t>> before;
    if (store_bays_load(db, station, &before, why) != LINE_OK)
        return false;
    for (const auto &[slot, count] : before)
        t->by_name[slot].insertions += count;
    return true;
}

int64_t bays_save(bays *t)
{
    int64_t left = 0;
    if (!t || !t->db)
        return 0;
    std::string why;
    for (auto &[name, b] : t->by_name) {
        // Once the database refuses, it is not asked again for each bay now.
        if (b.unsaved > 0 &&
            (left > 0 || store_bays_add(t->db, t->station, name, b.unsaved, &why) != LINE_OK))
            left += b.unsaved;
        else
            b.unsaved = 0;
    }
    return left;
}

bool bays_plugged(bays *t, const std::string &port, const port_info &usb, std::string *why)
{
    if (!t)
        return false;
    std::string name;
    bay_health &b = bay_of(t, port, usb, &name);
    ++b.insertions;
    ++b.unsaved;
    if (b.held)
        *why = name + " is held: " + b.why;
    return b.held;
}

std::string bays_end(bays *t, const std::string &port, const port_info &usb, bool passed,
                     bool failed, const std::string &message, std::string held[2])
{
    if (!t)
        return "";
    std::string name;
    bay_health &b = bay_of(t, port, usb, &name);
    if (passed)
        b.failures = 0;
    if (!failed || b.held || t->hold_after <= 0 || ++b.failures < t->hold_after)
        return "";
    b.held = true;
    b.why =
        (b.failures == 1 ? std::string("1 failure") : std::to_string(b.failures) + " failures") +
        " in a row, the last: " + message;
    if (held)
        held[0] = name, held[1] = b.why;
    return name + " is held after " + b.why +
           ". Devices plugged in there are not started: check its contacts and cable, then "
           "Clear it on the page (or restart the station)";
}

bool bays_clear(bays *t, const std::string &name)
{
    if (!t)
        return false;
    const auto it = t->by_name.find(name);
    if (it == t->by_name.end() || !it->second.held)
        return false;
    it->second.held = false;
    it->second.failures = 0;
    return true;
}

void bays_show(const bays *t, std::vector<snapshot_bay> *out)
{
    if (!t)
        return;
    for (const auto &[name, b] : t->by_name)
        if (b.held || (t->rated > 0 && b.insertions >= t->rated))
            out->push_back(snapshot_bay{name, b.held, b.why, b.insertions,
                                        t->rated > 0 && b.insertions >= t->rated});
}

int bays_held(const bays *t)
{
    int n = 0;
    if (t)
        for (const auto &[name, b] : t->by_name)
            n += b.held;
    return n;
}
