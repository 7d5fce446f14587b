// How the engine reaches a person. The Win32 dialog, the Qt dialog and the
// command line each install their own; tests install fakes. Front ends only
// render: the engine sets every run parameter and tells what happened.
#pragma once

#include <cstdint>

// What happened in a run.
enum zmk_event_kind {
    ZMK_SENT,    // a command went out; `text` is its console line ("Erasing...")
    ZMK_ANSWER,  // the answer to that command came, or did not
    ZMK_DONE,    // RESET was acknowledged: the device is programmed
    ZMK_WAITING, // nothing acknowledged for a while; `verdict` says what instead, `text` in words
    ZMK_FAILED,  // the run is over without the device programmed; `verdict` and `text` say why
};

// How a run stands, judged by the engine after each answer.
enum zmk_verdict {
    ZMK_GOING,         // acknowledged lately
    ZMK_NO_ANSWER,     // waiting: nothing usable comes
    ZMK_REFUSING,      // waiting: answers other than "ACK" come
    ZMK_ERASING,       // waiting: the erase poll answers "not yet"
    ZMK_SILENT,        // failed: nothing acknowledged for the run's limit
    ZMK_REFUSED,       // failed: answers, but no "ACK", for the run's limit
    ZMK_ERASE_TIMEOUT, // failed: the erase ran past its limit
    ZMK_DISCONNECTED,  // failed: the port has gone away
};

enum zmk_answer {
    ZMK_ACK,   // "ACK": the run moved on
    ZMK_OTHER, // a good packet that is not "ACK"; `text` is its leading text ("NAK")
    ZMK_NONE,  // nothing usable came
    ZMK_GONE,  // the port has gone away
};

struct zmk_event {
    zmk_event_kind kind;
    uint32_t command; // LPROG_* of the command sent or answered
    uint32_t address; // a PROGRAM's start address, else 0
    uint32_t done;    // image bytes acknowledged so far
    uint32_t total;   // image size
    zmk_answer answer;
    const char *text;
    zmk_verdict verdict; // ZMK_WAITING, ZMK_FAILED
};

struct zmk_frontend {
    // Modal message box with one OK button and the exclamation icon.
    void (*message_box)(const char *text, const char *caption);
    // Plays a tone and returns after it.
    void (*tone)(uint32_t hz, uint32_t ms);
    // Replaces the status field's text; returns nonzero on success.
    int (*status)(const char *text);
    // The engine's own console lines (" . Opening serial port ...").
    void (*console)(const char *text);
    // Every event of the run, with `event_ctx`.
    void (*event)(void *ctx, const zmk_event *e);
    void *event_ctx;
    // Ends the process after a fatal error (exit by default); must not return.
    void (*exit_process)(int status);
};

// Installs `f` (copied; nullptr removes every override). Null members fall
// back to the defaults: the message box text to standard error, no tone, no
// status field, console lines to standard output, each sent command's
// console line to standard output, exit().
void frontend_set(const zmk_frontend *f);
// The installed front end with every null member replaced by its default.
const zmk_frontend *frontend_get();
