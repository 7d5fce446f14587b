// The ledger of serial numbers as the runs use it: the plan's pool checked
// against the database, a number reserved (committed) for each device
// before it is touched, reservations nobody will end spoiled.
#pragma once

#include "app/database/store.h"
#include "app/ledger/serial.h"
#include "platform/ports.h"

#include <cstdint>
#include <string>
#include <vector>

// A number reserved for one device's run.
struct ledger_claim {
    std::string run; // the run's name, the same in its record
    uint64_t value = 0;
    std::vector<uint8_t> bytes; // the number as it goes into the image
};

struct ledger {
    store *db = nullptr;
    std::string name; // the database as shown: without a password
    const serial_plan *plan = nullptr;
    std::string host;    // the station's name
    std::string machine; // where `pid` means this process (platform_machine_id)
    long long pid = 0;
    uint32_t touch_ms = 0;
};

// Reservations not seen for this long, from any station, are spoiled.
constexpr int LEDGER_STALE_S = 600;

// The plan's pool in `db`: made (--new-pool) or found, checked against what
// the run gives, and what the run did not give taken from it (the place, the
// format). LINE_OK, or the status with the reason (the database away; no such
// pool, one defined otherwise, or one used up).
line_status ledger_open(ledger *t, store *db, const std::string &name, serial_plan *plan,
                        const std::string &host, std::string *why);
// Spoils the reservations nobody will end (their process on this machine is
// gone, whatever station name they carry, or nobody has refreshed them for
// LEDGER_STALE_S), and says how many.
void ledger_spoil_stale(ledger *t);
// A number for the device on `port`, kept in the database before it returns.
line_status ledger_reserve(ledger *t, const std::string &run, const std::string &port,
                           const port_info &usb, ledger_claim *out, std::string *why);
// Keeps this process's reservations alive; does something once a minute.
void ledger_tick(ledger *t);
// What became of a run's number: used, spoiled or returned.
const char *ledger_state(bool passed, bool sent);
