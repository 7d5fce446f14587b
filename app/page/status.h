// The station's status document, as /api/status serves it and the page
// shows it: the station, its image, its counts, and a tile per slot.
#pragma once

#include "app/page/slots.h"
#include "app/page/snapshot.h"

#include <cstdint>
#include <string>

// Reads the snapshot and the slots (after ui_slots_take); changes neither.
std::string ui_status_json(const snapshot &s, const ui_slots *slots, uint32_t now_ms);
