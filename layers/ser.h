// Serial link layer: SLIP framing (RFC 1055) on an opened serial port, and
// the saving and setting of the port's line settings and time-outs.
#pragma once

#include "framework/layer.h"
#include "layers/slip.h"
#include "platform/serial.h"

#include <cstdint>

constexpr int SER_MAX_FRAME = 10000; // content bytes in one frame
constexpr int SER_DRAIN_SCRATCH = 4096;

// Bounds that keep one exchange (write, frame read, drain) within 1.2 s
// whatever the line does. A reply is a few dozen bytes; 400 ms carries
// about 4600 bytes at 115200, so no device that keeps to the protocol is cut
// short, while bytes that never end a frame or a line that never goes quiet
// cannot hold a step for good. Short steps also keep a dialog that steps on
// its one thread quick to close.
constexpr uint32_t SER_FRAME_READ_MS = 400; // no byte is waited for after this
constexpr uint32_t SER_DRAIN_MS = 50;       // no drain read starts after this
// A write may take twice its wire time, rounded up to whole milliseconds a
// byte, plus this much.
constexpr uint32_t SER_WRITE_MARGIN_MS = 50;

void ser_attach(layer_t *t, port_handle port);
// The flasher attaches once for the life of the process and never detaches;
// ser_detach serves the tests.
void ser_detach(layer_t *t);
void ser_tx(layer_t *t, mlb_t *buffer);
void ser_rx(layer_t *t, mlb_t *buffer);
// Returns -1 when the frame is refused (too long) or not taken whole within
// the port's write time-out; the command then simply goes again.
int ser_write_frame(port_handle port, const uint8_t *data, int size);
// Returns the content length of the frame read, or 0 when none was: no byte
// within the read time-out, a frame not ended within SER_FRAME_READ_MS, one
// that would fill dest, or a port that has gone away.
int ser_read_frame(port_handle port, uint8_t *dest, int dest_size);
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
