// Watching for serial ports that come and go, for a station that programs
// each device as it is plugged in. Linux wakes on udev's tty events and polls
// the globs (pseudo-terminals send no events); Windows polls the system's
// COM list (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM). No port is ever opened.
#pragma once

#include "platform/ports.h"

#include <cstdint>

struct port_watch;

// How often the ports are looked for, so about the longest a change takes
// to be noticed.
constexpr int PORT_WATCH_INTERVAL_MS = 200;

// A pattern is a glob on the port's path ("/dev/ttyUSB*", "/tmp/dut*",
// "/dev/pts/*"; on Windows on the COM name, "COM*", ignoring case) or
// "usb:VVVV:PPPP", a USB vendor and product id in hex. A glob match counts
// only if port_identify knows it as a port: (a symlink to) a tty or a
// pseudo-terminal, never a regular file, /dev/null or a console. No pattern
// at all: every port on a USB device, never a built-in UART. Returns nullptr
// when a "usb:" pattern is malformed or resources run out.
port_watch *port_watch_new(const char *const *patterns, int count);
void port_watch_free(port_watch *t);

// Waits up to `timeout_ms` (negative: without limit) until the set of
// matching ports differs from the one this call last returned, then fills
// `out` with up to `max` of the ports present, sorted by path, each once,
// with what port_identify tells. The ports are looked for once an interval
// (and at once on a udev event, or when `timeout_ms` is 0), so the set is at
// most that old. The first call returns at once. Returns the number filled.
int port_watch_poll(port_watch *t, int timeout_ms, port_info *out, int max);

// The names the last look matched but could not keep, being PORT_PATH_MAX
// bytes or longer (so no system call takes them either), for the caller to
// report: how many, and the first of them in byte order in `*first` (when
// not nullptr; valid until the next poll). 0 when there were none.
int port_watch_unkept(const port_watch *t, const char **first);

// Whether `pattern` is "usb:VVVV:PPPP"; if so, and it is well formed, sets
// the ids. Returns 1 for a well-formed one, 0 for a glob, -1 for a malformed
// "usb:" pattern.
inline int port_pattern_usb(const char *pattern, uint16_t *vid, uint16_t *pid)
{
    if (pattern[0] != 'u' || pattern[1] != 's' || pattern[2] != 'b' || pattern[3] != ':')
        return 0;
    uint32_t ids[2] = {0, 0};
    const char *p = pattern + 4;
    for (int part = 0; part < 2; ++part) {
        for (int digits = 0; digits < 4; ++digits, ++p) {
            const char c = *p;
            const int v = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (v < 0)
                return -1;
            ids[part] = ids[part] * 16 + uint32_t(v);
        }
        if (*p++ != (part == 0 ? ':' : '\0'))
            return -1;
    }
    *vid = uint16_t(ids[0]);
    *pid = uint16_t(ids[1]);
    return 1;
}
