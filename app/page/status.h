// The station's status document, as /api/status serves it and the page
// shows it: the station, its image, its counts, a tile per slot, and the
// slots that need the operator now.
#pragma once

#include "app/page/slots.h"
#include "app/page/snapshot.h"

#include <cstdint>
#include <string>

// A tile says "slow adapter" when its last run's replies waited longer than
// this to start (a lowered adapter timer or a direct line: about 1 ms).
constexpr double UI_SLOW_REPLY_MS = 4;

// Reads the snapshot and the slots (after ui_slots_take); changes neither.
std::string ui_status_json(const snapshot &s, const ui_slots *slots, uint32_t now_ms);

// The engine's words with the command they name taken out, and that
// command: "the device stopped answering: nothing acknowledged for 15.0 s
// while waiting on PROGRAM at 0x4c00" is "the device stopped answering:
// nothing acknowledged for 15.0 s" and "PROGRAM at 0x4c00". Words naming no
// command stay whole, with "" for the command.
struct ui_words {
    std::string plain, command;
};
ui_words ui_split_message(const std::string &text);
