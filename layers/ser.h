// Serial link layer: SLIP framing (RFC 1055) on an opened serial port, and
// the saving and setting of the port's line settings and time-outs.
#pragma once

#include "framework/layer.h"
#include "layers/slip.h"
#include "platform/serial.h"

#include <cstdint>

constexpr int SER_MAX_FRAME = 10000; // content bytes in one frame
constexpr int SER_DRAIN_SCRATCH = 4096;

// Bounds that keep one exchange (write, frame read, drain) within about 1.2 s
// whatever the line does: bytes that never end a frame or a line that never
// goes quiet cannot hold a step for good. The frame bound is checked before
// each byte, so a read lasts up to it plus one byte's wait (about 520 ms with
// the engine's 120 ms). A reply sent at once and at full speed is never cut
// short; one longer than about 4600 bytes at 115200, or whose bytes come more
// than about 40 ms apart (a 10-byte "ACK" frame; about 22 ms tagged), is given
// up every time. Short steps also keep a dialog that steps on its one thread
// quick to close.
constexpr uint32_t SER_FRAME_READ_MS = 400; // no byte read starts after this
constexpr uint32_t SER_DRAIN_MS = 50;       // no drain read starts after this
// A write may take twice its wire time, rounded up to whole milliseconds a
// byte, plus this much.
constexpr uint32_t SER_WRITE_MARGIN_MS = 50;

// Attaches the port to the layer, with a record of what the port did in the
// last exchange (made once here, never per exchange). `baud` times the bytes
// on the wire for ser_reply_us (0: not counted).
void ser_attach(layer_t *t, port_handle port, uint32_t baud = 0);
// The flasher attaches once for the life of the process and never detaches;
// ser_detach serves the tests and fuzzers.
void ser_detach(layer_t *t);
// What the port did in the layer's last exchange: PORT_DONE when a frame
// came, PORT_TIMED_OUT when none did (nothing, a frame cut off or too long),
// PORT_GONE once the port has gone away (for good), PORT_FAILED when the
// system refused. The engine reads the outcome here, never from the port.
port_status ser_outcome(const layer_t *t);
// How long the last exchange's reply took to start, in microseconds: from
// the end of the command's last byte on the wire (the later of the write's
// return and its start plus the frame's wire time) to the return of the read
// that brought the reply's first byte, less that byte's wire time; -1 when no
// byte came.
int32_t ser_reply_us(const layer_t *t);
void ser_tx(layer_t *t, mlb_t *buffer);
void ser_rx(layer_t *t, mlb_t *buffer);
// Returns -1 when the frame is refused (too long) or not taken whole within
// the port's write time-out; the command then simply goes again. `outcome`
// (when given) receives what the port did, `wire` the bytes handed to it.
int ser_write_frame(port_handle port, const uint8_t *data, int size, port_status *outcome = nullptr,
                    int *wire = nullptr);
// Returns the content length of the frame read, or 0 when none was: no byte
// within the read time-out, a frame not ended within SER_FRAME_READ_MS, one
// that would fill dest, or a port that has gone away. `outcome` (when given)
// tells which: PORT_DONE with a frame, else what the port did. `first_us`
// (when given) receives platform_tick_us() as the first byte came, 0 when
// none did.
int ser_read_frame(port_handle port, uint8_t *dest, int dest_size, port_status *outcome = nullptr,
                   uint64_t *first_us = nullptr);
int ser_read_byte(port_handle port);

struct saved_port {
    port_handle handle;
    port_line dcb;            // line settings as read before the change
    port_timeouts timeouts;   // time-outs as read before the change
    port_timeouts configured; // time-outs this module set, put back after a drain
};

constexpr int SER_SAVED_SLOTS = 256;

int ser_configure(port_handle port, uint32_t baud, uint32_t read_timeout_us);
// ser_restore puts back the settings from before the first ser_configure of
// a port (zmk-cli does when it ends; the dialogs leave the port as it is).
int ser_find_saved(port_handle port);
int ser_restore(port_handle port);
// Forgets every saved slot (tests only: the table otherwise lives as long as
// the process).
void ser_saved_clear();
