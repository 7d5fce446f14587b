// The record of one device's run: made once from the run's facts, as a row
// of values (the database's) and one line of JSON (the log's, the spool's
// and the page's), both from the one table of the record's columns.
#pragma once

#include "app/database/record_columns.h"
#include "app/run/end.h"
#include "framework/status.h"
#include "platform/ports.h"

#include <cstdint>
#include <ctime>
#include <string>

// The job a run was made by: its name, version, the SHA-256 of the job file
// and the id of the key that sealed it ("": not sealed).
struct record_job {
    bool given = false; // false: no job, the record's job is null
    std::string name, version, sha256, key_id;
};

// What a record is made of.
struct record_facts {
    std::time_t start = 0;
    std::string host; // the station's name
    std::string port;
    port_info usb{}; // usb.usb false: nothing known of a USB device
    std::string run; // the run's own name, the same in the database
    std::string image_name;
    uint32_t image_size = 0;
    uint32_t image_crc32 = 0;   // the image as built or given
    uint32_t written_crc32 = 0; // what the device was sent, its serial number in it
    std::string image_sha256;   // the image as built or given, in hex
    run_end end;
    // The serial number the run carried (state "": none) and what became of
    // it: "used", "spoiled" (never handed out again) or "returned".
    std::string serial_pool;
    uint64_t serial_at = 0;    // where in the image it was written
    std::string serial_format; // and how ("u32le", ...)
    uint64_t serial_value = 0;
    std::string serial_bytes; // as written, in hex
    std::string serial_state;
    record_job job;
};

struct record {
    record_row row;
    std::string json; // one line, without its line end
};

record record_make(const record_facts &f);
// The JSON line of a row.
std::string record_json_of(const record_row &row);
// A new run's own name, unique across stations: station-pid-time-count.
std::string record_run_name(const std::string &station);
// What became of a run's serial number, in the words every console line
// uses: "serial 1042 used", "serial 1001 returned: the next device gets it",
// "serial 1001 spoiled: never handed out again".
std::string record_serial_words(uint64_t value, const std::string &state);

// Appends a record's line and its line end in one write, kept on disk.
line_status record_log_append(const std::string &path, const std::string &json, std::string *why);
// Whether records can be appended to `path` (made when missing).
line_status record_log_check(const std::string &path, std::string *why);
