// The engine: the flasher ties a port, the embedded image and the protocol
// stack together and advances a run by one exchange per call; it tells the
// front end (app/frontend.h) what happened in each.
#pragma once

#include "app/reply_time.h"
#include "app/verdict.h"
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
    int finished;        // flasher_tick has told the end
    zmk_limits limits;   // when the run gives up; none for the dialogs
    verdict_watch watch; // how the run stands
    zmk_verdict failed;  // the failure that ended the run, ZMK_GOING while none did
    zmk_verdict told;    // the waiting state last told
    uint32_t told_ms;    // and when
    reply_times replies; // how long each reply took to start
};

extern flasher_t flasher;
// The last status line that set_status formatted (at most 127 characters).
extern char status_text[128];

// Opens the run: the port, the image, the stack. 0, or why the port would
// not open (a port_error_kind); the caller decides what to do about it (the
// dialogs: fatal_error with the designed text).
int flasher_open(flasher_t *t);
// One exchange; the programming layer's completion flag.
int flasher_step(flasher_t *t);

// Starts the one run of the process on `port_name` with the run's fixed
// settings (115200 baud, 256-byte chunks, flash address 0) and `limits`
// (none when not given), flashing `image` instead of the embedded one when
// given, and shows "Programming...". Returns 0, or why the port would not
// open (a port_error_kind; nothing is shown then). Does nothing when a run
// was started before.
int flasher_start(flasher_t *t, const char *port_name, const uint8_t *image = nullptr,
                  uint32_t image_size = 0, const zmk_limits *limits = nullptr);
// One step of a started run. Returns 0 while it goes on, 1 once the device is
// programmed (the first time: the end tone, "Done", ZMK_DONE), -1 once the
// run has failed (the first time: the error tone and the reason as the
// status; ZMK_FAILED told it).
int flasher_tick(flasher_t *t);
[[noreturn]] void fatal_error(const char *msg);
int set_status(const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
