// Why a port would not open, in words a person can act on.
#pragma once

#include <cstddef>
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

// The other processes that have the terminal device `path` open (symlinks
// followed), as "pid 1234 (cat), pid 99 (minicom)" in `dest`; this process
// and whoever holds the master of the same pseudo-terminal (the device on
// its other end) are not counted. Returns how many, -1 when `path` cannot be
// examined. `unchecked`, when given, tells whether some processes' open files
// could not be read (other users' when not root), so more may exist.
// Windows refuses a second opener by itself: always 0 there.
int port_holders(const char *path, char *dest, size_t size, bool *unchecked = nullptr);

// Why this user may not open `path` and what to do, one line from the node's
// owner, group and mode and the user's groups, in `dest`.
void port_permission_advice(const char *path, char *dest, size_t size);
