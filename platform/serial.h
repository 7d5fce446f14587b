// The port seam: everything portable code may ask of a serial port. The
// operating system's ports (platform/win32, platform/posix) and the tests'
// in-memory ports are all reached through one operations table, and every
// call says what happened in its result.
#pragma once

#include <cstdint>

// The five Win32 COMMTIMEOUTS values, on every platform, because the link
// layer's read and write behaviour is defined by them:
//   {MAXDWORD, MAXDWORD, C}: return at once with what has arrived, else wait
//                            up to C ms for the first byte, counted from the
//                            end of the transmission of what was last written;
//   {10, 0, 10}:             return at the latest 10 ms after the call with
//                            whatever arrived;
//   write M, K:              a write of n bytes may take M * n + K ms (both 0:
//                            no limit).
struct port_timeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

constexpr uint32_t PORT_MAXDWORD = 0xFFFFFFFFu;

// The platform's own line-settings record (a DCB on Windows; the whole
// termios plus the modem-line state on POSIX), held as opaque bytes so that
// portable code can save and restore it whole.
struct port_line {
    alignas(8) unsigned char raw[256];
};

// What a port call did.
enum port_status : int {
    PORT_DONE,      // read: at least one byte came; anything else: all of it was done
    PORT_TIMED_OUT, // the time-out passed first: no byte came, or not all were written
    PORT_GONE,      // the port has gone away for good (unplugged, hung up)
    PORT_FAILED,    // the system refused; platform_last_error() tells why
};

struct port_s;
using port_handle = port_s *;

struct port_ops {
    port_status (*read)(port_handle t, void *dest, int n, int *got);
    port_status (*write)(port_handle t, const void *src, int n, int *taken);
    port_status (*get_line)(port_handle t, port_line *line);
    port_status (*set_line)(port_handle t, const port_line *line);
    port_status (*get_timeouts)(port_handle t, port_timeouts *timeouts);
    port_status (*set_timeouts)(port_handle t, const port_timeouts *timeouts);
    void (*close)(port_handle t);
};

// Every port starts with this record; a backend's own record extends it.
struct port_s {
    const port_ops *ops;
    bool gone; // a call returned PORT_GONE; the port stays gone
};

// Opens an existing serial port by name for exclusive, synchronous use. Only
// a terminal device is opened: a regular file, a directory, a FIFO or
// /dev/null fails as "not a serial port" (port_error_classify gives
// PORT_ERR_NOT_A_PORT), and nothing is ever created, truncated or written.
// Returns nullptr on failure, with platform_last_error() telling why.
port_handle port_open(const char *name);
void port_close(port_handle t);

// Reads up to n bytes under the port's time-outs; *got tells how many came.
port_status port_read(port_handle t, void *dest, int n, int *got);
// Writes n bytes within the port's write time-out; *taken tells how many the
// port took (fewer than n on PORT_TIMED_OUT).
port_status port_write(port_handle t, const void *src, int n, int *taken);
// Gets may fail; a failed Set is ignored by the link layer (a pty refuses
// modem-line calls).
port_status port_get_line(port_handle t, port_line *line);
port_status port_set_line(port_handle t, const port_line *line);
port_status port_get_timeouts(port_handle t, port_timeouts *timeouts);
port_status port_set_timeouts(port_handle t, const port_timeouts *timeouts);
// 1 once a call found the port gone.
int port_is_gone(port_handle t);

// Turns a copy of the platform's line settings into the link's: `baud`, 8
// data bits, no parity, one stop bit, no flow control of any kind, DTR and
// RTS off; every other setting stays as read.
void port_line_make_raw(port_line *line, uint32_t baud);

// Who opens ports by name: the operating system, unless a test or a fuzzer
// hands port_open an opener of in-memory ports (nullptr restores the system).
using port_opener = port_handle (*)(const char *name);
void port_set_opener(port_opener open);
