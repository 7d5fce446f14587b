// A USB serial adapter's latency timer: the adapter sends what the device
// said on to the host only when this runs out or a USB packet is full, so
// every short reply waits for it. Linux shows it as the sysfs attribute
// latency_timer of the port's usb-serial device; elsewhere no timer is found.
#pragma once

#include <cstdint>

struct port_latency {
    int32_t ms = -1;       // the timer in force; -1: the port has none
    bool settable = false; // we may write it
    char path[512] = "";   // its attribute, for a person to set it
};

// Reads the timer of the port `name` (the file name its path resolves to, under
// /class/tty of the sysfs root); false when the port has none.
bool port_latency_read(const char *name, port_latency *out);
// Where the timer is above 1 ms and may be written, writes 1; then reads it
// back. The system's port_open does this for every port it opens.
bool port_latency_lower(const char *name, port_latency *out);
