// What a person sees of many devices: on a terminal, one live line per
// running device redrawn in place; a line for each device when it ends; the
// station's count and bell.
#pragma once

#include "app/station/state.h"

void view_draw(batch *t);
// `record_why`: where its record is and where not, when a store asked for
// does not hold it ("its record is in the database line.db, not in LOG
// (...)"); nullptr when every one does.
void view_report(batch *t, const batch_device &d, const run_end &e, const char *record_why);
// The count ("12 programmed: 11 ok, 1 failed, yield 91.7 %"), unless it was
// just shown.
void view_count(batch *t);
// A line for the operator between the devices' lines ("zmk-cli: ...").
void view_say(batch *t, const char *text);
// Why no new device is started now, in the words the terminal said; ""
// while devices are started.
std::string view_halt(const batch *t);
// What the operator does about a device that failed: "unplug the device and
// plug it in again to program it again"; "" when its message already says.
const char *view_next_step(bool station, run_result r);
