// The station's bays watching their own health. A bay is a slot of the
// page (named by --slot or after its port). After `hold_after_failures`
// failures in a row there the bay is held: a device plugged in is not
// started until the bay is cleared (from the page) or the station restarts.
// Insertions are counted per bay, against its rated life: with a database
// across shifts (its bays table, added to as records are kept), else this
// shift only.
#pragma once

#include "app/database/store.h"
#include "app/page/snapshot.h"
#include "platform/ports.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ui_slots;

struct bay_health {
    int failures = 0; // failures in a row since the last PASS or clearing
    bool held = false;
    std::string why;        // what held it, for the tile and the terminal
    int64_t insertions = 0; // devices plugged in, before too when the database says
    int64_t unsaved = 0;    // of them, not yet added in the database
};

struct bays {
    ui_slots *names = nullptr;
    std::map<std::string, bay_health> by_name;
    int64_t hold_after = 0; // 0: never held
    int64_t rated = 0;      // rated insertions, 0: no limit
    store *db = nullptr;    // where insertions are counted across shifts, nullptr: none
    std::string station;    // the station's name there
};

bays *bays_new(const std::vector<std::string> &slots, int64_t hold_after, int64_t rated);
void bays_free(bays *t);
// With a database: the insertions its bays had at `station` before, and
// those of this shift added there from now on. False with why when it
// cannot be read now (the count starts at 0 on the page, and is added all the same).
bool bays_load(bays *t, store *db, const std::string &station, std::string *why);
// This shift's insertions not yet in the database added there; what it does
// not take now is added at a later call. How many are left unsaved.
int64_t bays_save(bays *t);
// A device appeared in the port's bay: counted. True when the bay is held,
// with why in `why`.
bool bays_plugged(bays *t, const std::string &port, const port_info &usb, std::string *why);
// A device's run there ended (`failed`: a FAIL; interrupted runs and ports
// another program held are neither). Returns what to say when this end held
// the bay, else ""; `held` gets the bay's name and why, for the audit trail.
std::string bays_end(bays *t, const std::string &port, const port_info &usb, bool passed,
                     bool failed, const std::string &message, std::string held[2] = nullptr);
// Clears a held bay; false when it was not held.
bool bays_clear(bays *t, const std::string &name);
// The bays held or worn, for the page.
void bays_show(const bays *t, std::vector<snapshot_bay> *out);
int bays_held(const bays *t);
