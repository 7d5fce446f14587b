// Port discovery and the reasons a port will not open. Linux asks udev for
// the tty devices that have hardware behind them; Windows probes COM1..COM255.
#pragma once

#include <cstdint>

struct port_info {
    char path[64];         // what to open: "/dev/ttyUSB0", "COM3"
    char description[128]; // USB product, driver name, or empty
};

constexpr int PORTS_MAX = 64;

// Fills `out` with up to `max` ports that can be opened right now, sorted by
// path (byte order, so ttyUSB10 lists before ttyUSB2). Returns the count.
int ports_list(port_info *out, int max);

enum port_error_kind {
    PORT_ERR_NONE = 0,
    PORT_ERR_MISSING,    // no such port
    PORT_ERR_IN_USE,     // another program holds it
    PORT_ERR_PERMISSION, // the port exists but this user may not open it
    PORT_ERR_NOT_A_PORT, // the name is a file, a directory, a FIFO, ...
    PORT_ERR_OTHER,
};

// Classifies a code from port_last_error().
port_error_kind port_error_classify(uint32_t code);
// One sentence telling a person what to do about `kind` on this system
// ("add your user to the dialout group ..."); empty when there is nothing.
const char *port_error_advice(port_error_kind kind);

// 1 when standard output is a terminal (live progress instead of log lines).
int platform_stdout_is_terminal();
