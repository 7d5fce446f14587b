// The station's status document, as /api/status serves it and the page
// shows it: the station, its image, its counts, and a tile per slot.
#pragma once

#include "app/cli/gang.h"
#include "app/page/slots.h"

#include <cstdint>
#include <string>

// What the station knows beyond the gang.
struct ui_station {
    std::string name;         // "": the host name
    bool stopping = false;    // no new device is started (Stop or Ctrl-C)
    bool today_known = false; // the line's totals for today (its database)
    int today_programmed = 0, today_ok = 0, today_failed = 0;
};

// Reads the gang (never changes it) and brings the slots up to date: a
// running device takes its slot's tile, replacing what the last one came to.
std::string ui_status_json(const gang *g, ui_slots *slots, const ui_station &s, uint32_t now_ms);
