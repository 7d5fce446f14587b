// Port discovery: Linux asks udev for the tty devices that have hardware
// behind them; Windows probes COM1..COM255. Both name the USB device behind
// a port when there is one.
#pragma once

#include <cstdint>

// Room for any path the system takes, with its NUL: Linux's PATH_MAX (longer
// ones no system call accepts); Windows' COM names are far shorter. A
// port_info is thus about 4.5 kB: keep many in static storage or a vector.
constexpr int PORT_PATH_MAX = 4096;

struct port_info {
    char path[PORT_PATH_MAX]; // what to open: "/dev/ttyUSB0", "COM3", or the name as matched
    char description[128];    // USB product, driver name, or empty
    bool usb;                 // the port sits on a USB device
    uint16_t vid, pid;        // USB vendor and product id, 0 when unknown
    char serial[64];          // USB serial number, "" when unknown
    char location[64];        // where it is plugged: "1-1.4" (Linux), "Port_#0004.Hub_#0001"
    char product[128];        // USB product string, "" when unknown
};

constexpr int PORTS_MAX = 64;

// Fills `out` with up to `max` ports that can be opened right now, sorted by
// path (byte order, so ttyUSB10 lists before ttyUSB2). Returns the count.
int ports_list(port_info *out, int max);

// What the system knows about the port at `path`, without opening it. Linux
// follows symlinks (/dev/serial/by-id/...) to the device; Windows takes
// "COM3" or "\\.\COM3". `out->path` is `path` as given. Returns 0 when the
// port exists (Linux: a tty or a pseudo-terminal, not /dev/null or a
// console; Windows: in the system's COM list), -1 otherwise, with only the
// path set (cut short when it is PORT_PATH_MAX or longer: then no port).
int port_identify(const char *path, port_info *out);
