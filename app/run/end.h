// How one device's run ended: one value, from the run (or its child's end
// line) to the record, the terminal's line and the page's tile.
#pragma once

#include "app/verdict.h"

#include <cstdint>

// The statuses zmk-cli ends with.
enum : int {
    RUN_EXIT_DONE = 0,
    RUN_EXIT_PORT = 1,   // the port cannot be opened
    RUN_EXIT_USAGE = 2,  // bad options or an unreadable image
    RUN_EXIT_SILENT = 3, // the device stopped answering, refused, or went away
    RUN_EXIT_RECORD = 4, // a device's record could not be kept
};

// The record's word for each ending is run_result_word's.
enum run_result {
    RUN_OK,
    RUN_SILENT,
    RUN_REFUSED,
    RUN_ERASE_TIMEOUT,
    RUN_DISCONNECTED,
    RUN_IN_USE,
    RUN_PERMISSION,
    RUN_NOT_A_PORT,
    RUN_NO_PORT,
    RUN_INTERRUPTED,
    RUN_CRASHED,
};

struct run_end {
    int exit = RUN_EXIT_DONE; // the status a single run gives
    run_result result = RUN_OK;
    char message[256] = ""; // the one line that explains a failure
    uint32_t exchanges = 0, repeats = 0;
    double seconds = 0;
    double reply_ms = -1; // the median wait for a reply to start, to 0.1 ms; -1: none timed
};

// "ok", "silent", "in-use", ...
const char *run_result_word(run_result r);
// The word back; false for a word no run ends with.
bool run_result_parse(const char *word, run_result *out);
// The result of a run the engine judged failed.
run_result run_result_of(zmk_verdict v);
// An ending made here: the status, the result and its message.
run_end run_end_make(int exit, run_result result, const char *message);
