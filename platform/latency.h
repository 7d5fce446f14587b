// A USB serial adapter's latency timer: the adapter sends what the device
// said on to the host only when this runs out or a USB packet is full, so
// every short reply waits for it. Linux shows it as the sysfs attribute
// latency_timer of the port's usb-serial device; on Windows the adapter's
// driver keeps it as the value LatencyTimer of the device's parameters key,
// beside the PortName it drives, and reads it when the adapter is plugged in.
#pragma once

#include <cstdint>

struct port_latency {
    int32_t ms = -1;       // the timer in force; -1: the port has none
    bool settable = false; // we may write it
    char path[512] = "";   // its attribute or registry value, for a person to set it
};

// Where this system keeps the timer, so the advice can name the fix.
enum port_latency_store { LATENCY_IN_SYSFS, LATENCY_IN_REGISTRY };
port_latency_store port_latency_kept_in();

// Reads the timer of the port `name` (Linux: the file name its path resolves
// to, under /class/tty of the sysfs root; Windows: "COMn" or "\\.\COMn");
// false when the port has none.
bool port_latency_read(const char *name, port_latency *out);
// Where the timer is above 1 ms and may be written, writes 1; then reads it
// back. The system's port_open does this for every port it opens. Windows
// only reads: the registry is the driver's and the user's.
bool port_latency_lower(const char *name, port_latency *out);
