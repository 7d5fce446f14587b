// The one seam to the operating system for the serial port and the clock.
// Portable code sees only these declarations; platform/win32 implements them
// with the Win32 comm API, platform/posix with termios and poll().
#pragma once

#include <cstdint>

// Opaque port handle: a Win32 HANDLE on Windows, a backend record on POSIX.
struct port_s;
using port_handle = port_s *;

// The five Win32 COMMTIMEOUTS values, on every platform, because the link
// layer's read behaviour is defined by them:
//   {MAXDWORD, MAXDWORD, C}: return at once with what has arrived, else wait
//                            up to C ms for the first byte;
//   {10, 0, 10}:             return at the latest 10 ms after the call with
//                            whatever arrived.
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

// Results of port_read and port_write besides a byte count.
enum : int {
    PORT_FAILED = -1, // the call failed; the port may work next time
    PORT_GONE = -2,   // the port has gone away (unplugged, hung up) for good
};

// Opens an existing serial port by name for exclusive, synchronous
// read/write use. Only a terminal device is opened: a regular file, a
// directory, a FIFO or /dev/null fails with port_last_error() telling "not a
// serial port" (port_error_classify gives PORT_ERR_NOT_A_PORT), and nothing
// is ever created, truncated or written. Returns nullptr on failure;
// port_last_error() then tells why.
port_handle port_open(const char *name);
void port_close(port_handle port);

// Writes up to n bytes within the write time-out of the port's time-out
// record (WriteTotalTimeoutMultiplier * n + WriteTotalTimeoutConstant ms;
// both 0: no limit). Returns the number of bytes taken, fewer than n (0
// included) when the time-out expired; PORT_GONE or PORT_FAILED.
int port_write(port_handle port, const void *data, int n);
// Reads up to n bytes under the port's current time-outs. Returns the number
// delivered (0 when the time-out expired), PORT_GONE or PORT_FAILED. A wait
// for the first byte counts from the end of the transmission of what was
// last written, not from the return of the write.
int port_read(port_handle port, void *dest, int n);
// 1 once a read or write found the port gone; it stays gone.
int port_is_gone(port_handle port);

// Get returns 0 on success, -1 on failure; Set returns the same, but the
// link layer ignores Set failures (a pty refuses modem-line calls).
int port_get_line(port_handle port, port_line *line);
int port_set_line(port_handle port, const port_line *line);
// Turns a copy of the port's line settings into the link's: `baud`, 8 data
// bits, no parity, one stop bit, no flow control of any kind, DTR and RTS
// off; every other setting stays as read.
void port_line_make_raw(port_line *line, uint32_t baud);

int port_get_timeouts(port_handle port, port_timeouts *timeouts);
int port_set_timeouts(port_handle port, const port_timeouts *timeouts);

// The code left by the last failing port call, 0 if none. A failing call
// also leaves it as the system's last error (GetLastError / errno).
uint32_t port_last_error();
// The system's last error now (GetLastError / errno), for errors that are not
// the port's: a window that could not be made.
uint32_t platform_last_error();
// Writes the system's description of `code` into dest (at most size bytes
// including the terminating NUL); returns the number of characters written,
// 0 when there is none or it does not fit.
int port_error_text(uint32_t code, char *dest, int size);

// Millisecond tick count: GetTickCount on Windows, a monotonic clock on POSIX.
// Wraps after about 49.7 days.
uint32_t platform_tick_ms();
