// Why a port would not open, in words a person can act on.
#pragma once

#include <cstdint>

enum port_error_kind {
    PORT_ERR_NONE = 0,
    PORT_ERR_MISSING,    // no such port
    PORT_ERR_IN_USE,     // another program holds it
    PORT_ERR_PERMISSION, // the port exists but this user may not open it
    PORT_ERR_NOT_A_PORT, // the name is a file, a directory, a FIFO, ...
    PORT_ERR_OTHER,
};

// Classifies a code from platform_last_error() after port_open failed.
port_error_kind port_error_classify(uint32_t code);
// One sentence telling a person what to do about `kind` on this system
// ("add your user to the dialout group ..."); empty when there is nothing.
const char *port_error_advice(port_error_kind kind);
