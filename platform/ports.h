// Port discovery: Linux asks udev for the tty devices that have hardware
// behind them; Windows probes COM1..COM255.
#pragma once

struct port_info {
    char path[64];         // what to open: "/dev/ttyUSB0", "COM3"
    char description[128]; // USB product, driver name, or empty
};

constexpr int PORTS_MAX = 64;

// Fills `out` with up to `max` ports that can be opened right now, sorted by
// path (byte order, so ttyUSB10 lists before ttyUSB2). Returns the count.
int ports_list(port_info *out, int max);
