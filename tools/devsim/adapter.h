// A USB serial adapter between the device and the host: what the device
// sends waits in the adapter until its latency timer runs out (counted from
// the first byte not yet sent on) or a USB packet's worth is waiting. The
// timer may follow a sysfs-like file, so that a host that writes it is tried
// end to end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct adapter {
    uint32_t latency_ms = 0; // in force; 0 with no file: no adapter, bytes go straight out
    uint32_t started_ms = 0; // as it was laid out
    uint32_t packet = 62;
    std::string file;             // the latency_timer followed; "": none
    std::vector<uint8_t> held;    // sent by the device, not yet on to the host
    int64_t first_us = -1;        // when the first held byte came
    uint32_t timed = 0, full = 0; // releases by the timer, by a full packet
};

// An adapter of `latency_ms` and `packet` bytes; latency 0 is no adapter.
void adapter_init(adapter *t, uint32_t latency_ms, uint32_t packet);
bool adapter_on(const adapter *t);

// Lays out DIR/class/tty/NAME/device/latency_timer holding the latency, and
// follows it from then on. False, with `*error`, when it cannot be written.
bool adapter_sysfs_make(adapter *t, const std::string &dir, const std::string &name,
                        std::string *error);
// Reads the followed file; a value that is no number leaves the latency as it is.
void adapter_follow(adapter *t);

// The device sends bytes at `at_us`. A hold that starts here reads the
// file first: the latency in force is the file's.
void adapter_put(adapter *t, const uint8_t *p, int32_t n, int64_t at_us);
// When the held bytes are due on to the host; -1 when nothing is held.
int64_t adapter_due_us(const adapter *t);
// How many held bytes (from held[0]) are due on to the host at `at_us`; the
// caller sends them, then calls adapter_sent.
int32_t adapter_due(const adapter *t, int64_t at_us);
void adapter_sent(adapter *t);
