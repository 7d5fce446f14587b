// The station's slots: where each device sits, named by the operator
// (--slot NAME=PATTERN) or after its port, and what the last device in each
// came to, kept until the next device starts there.
#pragma once

#include "app/page/snapshot.h"
#include "framework/status.h"

#include <cstdint>
#include <deque>
#include <list>
#include <string>

// What a device that ended came to, as its tile shows it.
struct ui_result {
    std::string state; // "pass", "fail" or "in-use"; "waiting": a device plugged in while the
                       // station was stopped, not started; "": no device ended here yet
    std::string result, reason, next; // the record's word, its message, what to do
    std::string detail;               // a waiting device's words
    double seconds = 0;
    std::string usb_serial, serial, serial_state;
    double reply_ms = -1;
};

struct ui_slot {
    std::string name;
    std::string pattern;   // a glob on the port's path; "": named after its port
    bool usb_path = false; // the pattern is on the USB location ("usb-path:1-1.3")
    std::string port;      // the port last seen in it
    int present = -1;      // whether that port is there: 1, 0, or -1 not known
    ui_result last;
    uint32_t used_ms = 0; // last in use, for letting old port slots go
};

struct ui_slots {
    std::list<ui_slot> slots;  // in the order shown: named ones first, others as they came
    std::deque<uint32_t> ends; // when each device counted as programmed ended, the last hour
    int counted = 0;           // the station's `programmed` when last looked
    uint32_t first_ms = 0;     // when the first device started
    bool started = false;
    bool station = true; // a station's next steps, else a batch's
};

// Slots named after their port beyond this many: the one unused longest goes.
constexpr size_t UI_PORT_SLOTS_MAX = 48;

ui_slots *ui_slots_new();
void ui_slots_free(ui_slots *t);
// "NAME=PATTERN": PATTERN a glob on the port's path ("/dev/ttyUSB0",
// "/dev/serial/by-path/*-usb-0:1.3:*") or "usb-path:LOCATION", a glob on
// where the USB device is plugged ("1-1.3"). LINE_REFUSED with the reason.
line_status ui_slots_parse(ui_slots *t, const std::string &text, std::string *why);
// The slot of a port: the first named one whose pattern matches, else the
// one named after its path (made when new). A slot shows one device: give
// each slot a pattern only one port matches at a time.
ui_slot *ui_slots_of(ui_slots *t, const std::string &port, const port_info &usb, uint32_t now_ms);
// The slot a port's device is shown on, without making one; nullptr when
// there is none yet.
const ui_slot *ui_slots_find(const ui_slots *t, const std::string &port, const port_info &usb);
// The slot a port last showed a device in, else the one it would.
const ui_slot *ui_slots_held(const ui_slots *t, const std::string &port);
// The ports present now (the station's watch): tiles for them, and which
// slots are unplugged.
void ui_slots_seen(ui_slots *t, const port_info *present, int n, uint32_t now_ms);
// A device's run ended: its result stays on its tile.
void ui_slots_end(ui_slots *t, const snapshot_end &e);
// Takes in what the station shows now: its ports, the devices that ended,
// the running ones (each takes its slot's tile, replacing what the last
// one there came to), and the count for the rate per hour. A port that
// appears while no new device is started (s.stopping or s.halt) replaces
// what the last one there came to too: its device waits, not started.
void ui_slots_take(ui_slots *t, const snapshot &s, uint32_t now_ms);
// `*` any run of characters, `?` any one, `[a-z]` and `[!0-9]` one of a set
// or not.
bool ui_glob(const char *pattern, const char *text);

// What a tile that waits says of a device plugged in while the station is
// stopped.
extern const char *const UI_NOT_STARTED_STOPPED;
