#include "platform/port_watch_loop.h"

#include "platform/port_watch.h"
#include "platform/tick.h"

#include <algorithm>
#include <cstring>

namespace {

bool same(const port_info &a, const port_info &b)
{
    return std::strcmp(a.path, b.path) == 0 && a.usb == b.usb && a.vid == b.vid && a.pid == b.pid &&
           std::strcmp(a.serial, b.serial) == 0 && std::strcmp(a.location, b.location) == 0 &&
           std::strcmp(a.product, b.product) == 0 && std::strcmp(a.description, b.description) == 0;
}

// Scans when one is due; true when the set changed.
bool scan_if_due(port_watch_cycle *c, const port_watch_backend &b, bool now_please)
{
    if (c->polled && !now_please && int32_t(platform_tick_ms() - c->next_scan) < 0)
        return false;
    c->next_scan = platform_tick_ms() + PORT_WATCH_INTERVAL_MS;
    std::vector<port_info> now;
    std::vector<std::string> unkept;
    b.scan(b.watch, now, unkept);
    std::sort(unkept.begin(), unkept.end());
    unkept.erase(std::unique(unkept.begin(), unkept.end()), unkept.end());
    c->unkept = std::move(unkept);
    const bool changed =
        !c->polled || !std::equal(now.begin(), now.end(), c->last.begin(), c->last.end(), same);
    c->polled = true;
    c->last = std::move(now);
    return changed;
}

} // namespace

bool port_match_parse(port_match *m, const char *const *patterns, int count,
                      const char *(*glob_of)(const char *pattern))
{
    for (int i = 0; i < count; ++i) {
        uint16_t vid = 0, pid = 0;
        const int kind = patterns[i] ? port_pattern_usb(patterns[i], &vid, &pid) : -1;
        if (kind < 0)
            return false;
        if (kind == 1)
            m->ids.push_back(uint32_t(vid) << 16 | pid);
        else
            m->globs.emplace_back(glob_of(patterns[i]));
    }
    m->any_usb = count <= 0;
    return true;
}

bool port_match_usb(const port_match &m, const port_info &p)
{
    return p.usb && (m.any_usb || std::find(m.ids.begin(), m.ids.end(),
                                            uint32_t(p.vid) << 16 | p.pid) != m.ids.end());
}

int port_watch_run(port_watch_cycle *c, const port_watch_backend &b, int timeout_ms, port_info *out,
                   int max)
{
    const uint32_t start = platform_tick_ms();
    bool event = false; // the system told of a change: look at once
    // A caller that does not wait gets a scan at once.
    while (!scan_if_due(c, b, timeout_ms == 0 || event)) {
        const uint32_t spent = platform_tick_ms() - start;
        if (timeout_ms >= 0 && spent >= uint32_t(timeout_ms))
            break;
        int wait =
            std::clamp(int32_t(c->next_scan - platform_tick_ms()), 0, PORT_WATCH_INTERVAL_MS);
        if (timeout_ms >= 0)
            wait = std::min(wait, timeout_ms - int(spent));
        event = b.wait(b.watch, wait);
    }
    const int n = out && max > 0 ? std::min(max, int(c->last.size())) : 0;
    std::copy_n(c->last.begin(), n, out);
    return n;
}

int port_watch_cycle_unkept(const port_watch_cycle *c, const char **first)
{
    if (first)
        *first = c->unkept.empty() ? nullptr : c->unkept.front().c_str();
    return int(c->unkept.size());
}
