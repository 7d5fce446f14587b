// The line's database: the serial-number ledger (numbers handed out to
// devices, each at most once) and the records of device runs, in one SQLite
// file or one PostgreSQL database that every station of a line shares. Only
// the parent zmk-cli process writes it.
#pragma once

#include "framework/status.h"

#include "app/database/record_columns.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct store; // one open database

// Who reserves: the zmk-cli process and the device.
struct store_who {
    std::string run_id; // unique per device run (ties the reservation to the run's record)
    std::string host;   // the station's name (--station-name, the host name by default)
    int64_t pid;        // the zmk-cli process that reserved (the parent of a batch/station)
    std::string port;   // "/dev/ttyUSB0"
    std::string usb_serial, usb_location; // "" when unknown
    std::string machine; // where `pid` is a process (platform_machine_id); "" when unknown
};

// A pool: a range (start, step, last inclusive) or a list of values in order,
// and where and how its numbers are written into an image.
struct store_pool {
    std::string name;    // "default"
    bool numbers = true; // the range or list is given (a run may name just the pool)
    bool list = false;
    uint64_t start = 0, step = 1, last = INT64_MAX; // range; values never exceed INT64_MAX
    std::vector<uint64_t> values;                   // list
    bool placed = false;                            // `at` and `format` are given
    uint64_t at = 0;                                // the byte offset in the image
    std::string format;                             // "u32le", "ascii:8", ...
};

// How a run may use a pool: define it when missing (the ledger's tests), only
// make a new one, or only use one that is there.
enum store_pool_mode { STORE_POOL_DEFINE, STORE_POOL_NEW, STORE_POOL_EXISTING };

// LINE_REFUSED also answers what the ledger cannot follow: a pool defined
// otherwise or not at all, a malformed pool or record, a record whose serial
// the ledger gives to another run. `why` says which.

// "postgresql://u:secret@db/line" -> "postgresql://u@db/line": names a database without its
// password.
std::string store_display_name(const std::string &name);
// Whether `name` names a server (postgresql:// or postgres://) rather than an SQLite file.
bool store_is_server_name(const std::string &name);
// Whether `name` can name a database at all: a server's name must parse as a
// connection URI this build can use, a file's must not be empty.
// LINE_REFUSED with the reason (bad input, not an unreachable database).
line_status store_name_valid(const std::string &name, std::string *why);
// Opens the database (SQLite: the file, created on first use; PostgreSQL: a libpq URI, libpq's
// password file and PG* environment apply) and creates or checks the versioned schema.
// nullptr with the reason in `why` (never a password).
store *store_open(const std::string &name, std::string *why);
void store_close(store *t);
// Defines the pool on first use; later uses must give the same definition (else
// LINE_REFUSED, `why` says what differs and what the pool holds). LINE_EXHAUSTED when
// nothing is left to hand out; LINE_AWAY when the database cannot be reached.
line_status store_pool_check(store *t, const store_pool &pool, std::string *why);
// The pool as `mode` allows: STORE_POOL_NEW refuses one that is there and, unless
// `allow_overlap`, one whose numbers another pool written at the same place hands
// out too; STORE_POOL_EXISTING refuses one that is not there, naming the pools
// that are. What is given must be what the pool holds; a pool that does not yet
// say where its numbers go takes the place given. `held` (may be nullptr) gets the
// pool's whole definition.
line_status store_pool_open(store *t, const store_pool &given, store_pool_mode mode,
                            bool allow_overlap, store_pool *held, std::string *why);
// The number the pool hands out next, and how many it has left.
line_status store_pool_left(store *t, const std::string &name, uint64_t *next, uint64_t *left,
                            std::string *why);
// Reserves the pool's next number for a device, committed before it returns: a number given
// back first (lowest list position / value first), else the range's next value. One
// transaction, safe against other processes and stations on the same database. A commit whose
// answer was lost returns LINE_AWAY; the number may then be held by this process until it is
// spoiled as stale.
line_status store_reserve(store *t, const std::string &pool, const store_who &who, uint64_t *value,
                          std::string *why);
// A run ended: its record (the JSON line zmk-cli writes to its --log) goes into the records
// table and, when it carries a serial, the number becomes used, spoiled or returned at the
// device's own end (the record's time plus its seconds; now when it has no time); one
// transaction, once per run (the same run again changes nothing and returns LINE_OK). Any
// JSON object is kept; one the ledger cannot follow (its serial is not this run's
// reservation, or its state is unknown) is kept with the ledger untouched and returns
// LINE_REFUSED; what is no JSON object is not kept (LINE_REFUSED).
line_status store_finish(store *t, const std::string &record_json, std::string *why);
// The same with the record's values already read (record_row_parse, or made by
// the caller): `row` fills the columns and says the serial, `record_json` is kept
// as the record. A record carries a serial when any of its serial fields is set.
line_status store_finish(store *t, const record_row &row, const std::string &record_json,
                         std::string *why);
// Reservations nobody will end become spoiled (nobody knows what the device holds): those
// made on `machine` whose process (pid) is gone (`alive(pid)` false; nullptr: not asked),
// whatever station name they carry; those an older zmk-cli made without a machine under
// the station name `host` whose process is gone; and anyone's not seen for `stale_seconds`.
// How many in `count`.
line_status store_spoil_stale(store *t, const std::string &host, const std::string &machine,
                              bool (*alive)(int64_t pid), int stale_seconds, int *count,
                              std::string *why);
// The open reservations of process `pid` on `machine` are still alive (refreshes their `seen`
// time); with no machine known, those of `pid` under the station name `host`.
line_status store_touch(store *t, const std::string &host, const std::string &machine, int64_t pid,
                        std::string *why);
// The runs recorded since `since` (ISO 8601 UTC text: "2026-12-07" for
// the day), and how many of them passed.
line_status store_totals(store *t, const std::string &since, int64_t *runs, int64_t *ok,
                         std::string *why);
// A bay's insertions across shifts (a bay is its slot at its station): the
// counts of `station`'s bays by slot.
line_status store_bays_load(store *t, const std::string &station,
                            std::vector<std::pair<std::string, int64_t>> *out, std::string *why);
// `more` insertions added to the bay's count, made when first counted.
line_status store_bays_add(store *t, const std::string &station, const std::string &slot,
                           int64_t more, std::string *why);
// One line of the audit trail: what was done to the station, when (ISO
// 8601 UTC, the station's clock), and by which viewer of the page ("": not
// from the page).
struct store_audit_row {
    std::string time, station, event, slot, viewer, detail;
};
line_status store_audit(store *t, const store_audit_row &a, std::string *why);
