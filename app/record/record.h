// The record of one device run: one JSON object per line (JSON Lines),
// appended by the one process that shows the result, on disk before it is
// shown.
#pragma once

#include "platform/ports.h"

#include <cstdint>
#include <ctime>
#include <string>

// The serial number a run carried, and what became of it: "used" (the device
// passed), "spoiled" (it may be in a device that failed: never handed out
// again) or "returned" (never sent: the next device gets it).
struct cli_record_serial {
    std::string pool;
    uint64_t value = 0;
    std::string bytes; // as written, in hex
    std::string state;
};

struct cli_record {
    std::time_t start;
    std::string host;
    std::string port;
    port_info usb; // usb.usb false: nothing known of a USB device
    std::string image_name;
    uint32_t image_size;
    uint32_t image_crc32;
    std::string result;  // "ok", or one word for the failure
    int exit;            // the status a single run gives
    std::string message; // how a failed run ended, "" for "ok"
    double seconds;
    uint32_t exchanges;
    uint32_t repeats;
    std::string run;          // the run's own name, the same in the database
    cli_record_serial serial; // serial.state "": the run carried none
};

// The record as one line of JSON, without the line end.
std::string cli_record_json(const cli_record &r);
// Appends the record and its line end in one write, kept on disk; 0, or -1
// with the reason in `why` when given.
int cli_record_append(const std::string &path, const cli_record &r, std::string *why = nullptr);
// Whether records can be appended to `path` (made when missing); 0, or -1
// with the reason in `why`.
int cli_record_check(const std::string &path, std::string *why);
