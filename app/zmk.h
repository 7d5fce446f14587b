// The engine: the flasher ties a port, the embedded image and the protocol
// stack together and advances a run by one exchange per call; it tells the
// front end (app/frontend.h) what happened in each.
#pragma once

#include "framework/layer.h"
#include "framework/mlb.h"
#include "framework/plm.h"
#include "platform/serial.h"

#include <cstdint>

struct flasher_t {
    int opened;            // 1 once flasher_open has completed; never cleared
    const char *port_name; // port to open; not owned
    port_handle handle;    // the opened port
    long baud;
    int32_t chunk;    // image bytes per PROGRAM command
    uint32_t address; // flash address of the image's first byte
    uint8_t *filebuf; // heap copy of the image
    plm_t *stack;
    mlb_t *buf;
    layer_t *prog;
    // When set, flashed instead of the embedded image (zmk-cli --image).
    const uint8_t *image_override;
    uint32_t image_override_size;
    int finished; // flasher_tick has told the end
};

extern flasher_t flasher;
// The last status line that set_status formatted (at most 127 characters).
extern char status_text[128];

// Opens the run: the port, the image, the stack. Every failure ends the
// process through fatal_error.
int flasher_open(flasher_t *t);
// One exchange; the programming layer's completion flag.
int flasher_step(flasher_t *t);

// Starts the one run of the process on `port_name` with the run's fixed
// settings (115200 baud, 256-byte chunks, flash address 0), flashing `image`
// instead of the embedded one when given, and shows "Programming...". Does
// nothing when a run was started before.
void flasher_start(flasher_t *t, const char *port_name, const uint8_t *image = nullptr,
                   uint32_t image_size = 0);
// One step of a started run. Returns 1 once the run is complete; the first
// time, it sounds the end tone, shows "Done" and tells the front end.
int flasher_tick(flasher_t *t);
[[noreturn]] void fatal_error(const char *msg);
int set_status(const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
