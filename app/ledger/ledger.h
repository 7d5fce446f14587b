// The line's database as zmk-cli's runs use it: serial numbers reserved
// before a device is touched, every record written once, and a spool on the
// station's own disk for the records the database cannot take now.
#pragma once

#include "app/cli/record.h"
#include "app/cli/serial.h"
#include "app/cli/store.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct cli_options;

// A number reserved for one device's run.
struct cli_claim {
    std::string run; // the run's name, the same in its record
    uint64_t value = 0;
    std::vector<uint8_t> bytes; // the number as it goes into the image
};

struct cli_db {
    store *db = nullptr;
    std::string name; // as shown: without a password
    const serial_plan *plan = nullptr;
    std::string host;
    long long pid = 0;
    std::string spool;               // this process's spool file
    std::deque<std::string> waiting; // records the database has not taken yet
    std::string why;                 // why it last refused
    uint32_t retry_ms = 0, touch_ms = 0;
};

// Reservations not seen for this long, from any station, are spoiled.
constexpr int CLI_DB_STALE_S = 600;

// A new run's own name, unique across stations: station-pid-time-count.
std::string cli_run_name(const std::string &station);
// Opens --db: checks the plan's pool, spoils the reservations nobody will
// end, and writes the records earlier runs left in their spools. 0, or the
// exit status with the reason on standard error (the database cannot be
// reached: 1; bad input or no number left: 2).
int cli_db_open(cli_db *t, const cli_options &opt, const serial_plan &plan);
void cli_db_close(cli_db *t);
// A number for the device on `port`, kept in the database before it returns.
store_status cli_db_reserve(cli_db *t, const std::string &run, const std::string &port,
                            const port_info &usb, cli_claim *out, std::string *why);
// A record into the database, or onto the spool while the database cannot
// take it (`*spooled` true). False when neither took it, with the reason.
bool cli_db_record(cli_db *t, const std::string &record_json, bool *spooled, std::string *why);
// Writes the spooled records in order, at most once a second unless `now`;
// true when none waits. Keeps this process's reservations alive.
bool cli_db_flush(cli_db *t, bool now = false);
// What became of a run's number: used, spoiled or returned.
const char *cli_db_serial_state(bool passed, bool sent);
