// The poll loop both port watches share (platform backends only): a scan at
// most once an interval, however the caller slices its waits, and a return as
// soon as the set of ports has changed or the time is up.
#pragma once

#include "platform/ports.h"

#include <cstdint>
#include <string>
#include <vector>

// What a watch looks for: globs on the path, USB ids, or (no pattern at all)
// every USB port.
struct port_match {
    std::vector<std::string> globs;
    std::vector<uint32_t> ids; // vid << 16 | pid
    bool any_usb = false;
};

// Sorts the patterns into globs (as `glob_of` gives them) and USB ids; false
// on a malformed "usb:" pattern.
bool port_match_parse(port_match *m, const char *const *patterns, int count,
                      const char *(*glob_of)(const char *pattern));
// The port is on a USB device the match asks for.
bool port_match_usb(const port_match &m, const port_info &p);

struct port_watch_cycle {
    std::vector<port_info> last;     // what the last scan found
    std::vector<std::string> unkept; // and matched but could not keep, sorted
    bool polled = false;
    uint32_t next_scan = 0; // when the next scan is due
};

struct port_watch_backend {
    // Fills `now` with the ports present, `unkept` with the matching names
    // too long for port_info::path.
    void (*scan)(void *watch, std::vector<port_info> &now, std::vector<std::string> &unkept);
    // Waits up to ms; true when the system told of a change (scan at once).
    bool (*wait)(void *watch, int ms);
    void *watch;
};

int port_watch_run(port_watch_cycle *c, const port_watch_backend &b, int timeout_ms, port_info *out,
                   int max);
// port_watch_unkept over a cycle.
int port_watch_cycle_unkept(const port_watch_cycle *c, const char **first);
