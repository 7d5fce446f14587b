// What the station shows its page each tick: plain values, made by the
// station and only read by the page.
#pragma once

#include "app/frontend.h"
#include "platform/ports.h"

#include <cstdint>
#include <string>
#include <vector>

// A device being programmed now.
struct snapshot_device {
    std::string port;
    port_info usb{};
    uint32_t start_ms = 0;
    uint32_t exchanges = 0;
    uint32_t phase = 0; // the LPROG_* state of the command last sent
    uint32_t done = 0, total = 0;
    zmk_verdict waiting = ZMK_GOING; // what the engine says while nothing is acknowledged
    std::string detail;              // its words for it
    std::string serial;              // the number it carries, "" for none
};

// A device whose run ended since the last snapshot.
struct snapshot_end {
    std::string port;
    port_info usb{};
    uint32_t start_ms = 0;
    double seconds = 0;
    bool passed = false;               // programmed, and its record kept
    bool in_use = false;               // another program held the port: never touched
    std::string result, message, next; // the record's word, how it ended, what to do now
    std::string serial;                // the number it carried, "" for none
    std::string serial_state;          // what became of it: used, spoiled or returned
    double reply_ms = -1;              // its replies' median wait to start; -1: none timed
};

// A port another program holds, asked for again.
struct snapshot_busy {
    std::string port;
    uint32_t first_ms = 0;
};

// A bay held after failures in a row, or past its rated insertions.
struct snapshot_bay {
    std::string slot;
    bool held = false;
    std::string why; // what held it
    int64_t insertions = 0;
    bool worn = false; // past its rated insertions: its contacts are due for service
};

struct snapshot {
    std::string station; // its name
    bool batch = false;  // a batch of named ports, not a station
    std::string image_name;
    std::string job_name, job_version; // the job it runs, "": none
    bool job_sealed = false;
    uint32_t image_size = 0, image_crc32 = 0;
    int programmed = 0, ok = 0, failed = 0, in_use = 0, not_started = 0;
    bool stopping = false; // no new device is started (Stop or Ctrl-C)
    std::string
        halt; // why no new device is started ("" : devices are started), in the terminal's words
    bool today_known = false; // the line's totals for today (its database)
    int64_t today_programmed = 0, today_ok = 0;
    bool ports_known = false; // `present` holds the ports the station sees
    std::vector<port_info> present;
    std::vector<snapshot_device> running;
    std::vector<snapshot_busy> busy;
    std::vector<snapshot_end> ended;
    std::vector<snapshot_bay> bays;
};
