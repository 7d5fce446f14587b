// Why a port would not open: the kind of failure, who holds the port, and
// what the node's owner, group and mode say about this user.
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

// The other processes that have the terminal device `path` open (symlinks
// followed), as "pid 1234 (cat), pid 99 (minicom)" in `dest`; this process
// and whoever holds the master of the same pseudo-terminal (the device on
// its other end) are not counted. Returns how many, -1 when `path` cannot be
// examined. `unchecked`, when given, tells whether some processes' open files
// could not be read (other users' when not root), so more may exist.
// Windows refuses a second opener by itself: always 0 there.
int port_holders(const char *path, char *dest, size_t size, bool *unchecked = nullptr);

// What decides whether this user may open a port node.
struct port_access {
    bool examined;             // false: nothing below is known (Windows, or `err` says why)
    char owner[64], group[64]; // names, or the numbers where none is known
    unsigned mode;             // the permission bits (07777)
    bool owner_is_root;
    bool bits_allow_user;             // the bits alone would let this user open it
    bool group_may_open;              // joining the group would do: rw, not root's group,
                                      // and the user is not the owner
    bool user_in_group_configured;    // the next login will have the node's group
    bool user_in_group_now;           // this login has it
    bool usb_adapter_under_seat_rule; // a USB adapter the installed udev rule covers
    int err;                          // why the node could not be examined
};

// Fills `out` for the node behind `path` (symlinks followed).
void port_access_examine(const char *path, port_access *out);
