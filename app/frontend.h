// How the flasher reaches a person. The Win32 dialog, the Qt dialog and the
// command line each install their own; tests install fakes.
#pragma once

#include "layers/lprog.h"

#include <cstdint>

struct zmk_frontend {
    // Modal message box with one OK button and the exclamation icon.
    void (*message_box)(const char *text, const char *caption);
    // Plays a tone and returns after it.
    void (*tone)(uint32_t hz, uint32_t ms);
    // Replaces the status field's text; returns nonzero on success.
    int (*status)(const char *text);
    // The flasher's own console lines (" . Opening serial port ...").
    void (*console)(const char *text);
    // The programming layer's progress, with its exact console text; handed
    // to the programming layer by flasher_open.
    lprog_hook progress;
    void *progress_ctx;
    // Ends the process after a fatal error (exit by default); must not return.
    void (*exit_process)(int status);
};

// Installs `f` (copied; nullptr removes every override). Null members fall
// back to the defaults: the message box text to standard error, no tone, no
// status field, console and progress text to standard output, exit().
void frontend_set(const zmk_frontend *f);
// The installed front end with every null member replaced by its default;
// `progress` stays null when none was installed (the layer's own default).
const zmk_frontend *frontend_get();
