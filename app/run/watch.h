// The watch over one device's run: progress, exchanges and repeats from the
// engine's events, what the engine says while the device acknowledges
// nothing, and whether the device may hold its serial number yet. How the
// run stands is the engine's to judge; the watch only remembers.
#pragma once

#include "app/frontend.h"
#include "layers/lprog.h"

#include <cstddef>
#include <cstdint>

struct run_watch {
    lprog_progress last; // the command last sent
    uint32_t exchanges;
    uint32_t repeats;          // commands sent again for want of an answer (not erase polls)
    uint32_t program_start_ms; // first PROGRAM command, for the rate
    uint32_t program_start_done;
    int program_started;
    zmk_verdict waiting; // ZMK_NO_ANSWER, ZMK_REFUSING or ZMK_ERASING; ZMK_GOING while acknowledged
    char waiting_text[160]; // the engine's words for it, else ""
    int64_t serial_at;      // image offset of the device's serial number, -1: none
    bool serial_sent;       // the command carrying it was sent: the number may be in the device
};

void run_watch_init(run_watch *t, uint32_t now_ms, int64_t serial_at = -1);
// Takes in any event of the run.
void run_watch_event(run_watch *t, const zmk_event *e, uint32_t now_ms);

// "Programming  42%  25600/60800 bytes  10.1 kB/s  0:03 left", or while the
// device acknowledges nothing, what it does instead: "no answer for 7 s,
// waiting on PROGRAM at 0x4c00 (gives up at 30 s)".
int run_format_live(const run_watch *t, uint32_t now_ms, char *dest, size_t size);

// Where an interrupted run stopped and what that leaves in the device:
// "interrupted while waiting on PROGRAM at 0x4c00: the device is partly
// programmed and will not start; program it again".
void run_format_stopped(const run_watch *t, char *dest, size_t size);
