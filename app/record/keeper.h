// The one keeper of records. Every run's record, a single run's or a
// batch's, is handed here once: written in order to the log and to the
// database; a record a store does not take now waits in one queue, in
// order, and is tried again (the database's waiting ones are also in this
// process's spool on disk, so that no record is lost with the process).
#pragma once

#include "app/database/store.h"
#include "app/record/audit.h"
#include "app/record/record.h"

#include <cstdint>
#include <deque>
#include <string>

struct keeper_entry {
    record rec;
    bool log_waits = false, db_waits = false;
    bool in_spool = false; // the database's copy waits on disk
};

struct keeper_audit_entry {
    audit line;
    bool log_waits = false, db_waits = false;
};

struct keeper {
    std::string log;                       // "": no log
    store *db = nullptr;                   // nullptr: no database
    std::string db_name;                   // as shown: without a password
    std::string spool;                     // this process's spool, "" without a database
    std::deque<keeper_entry> waiting;      // records some store has not taken yet, in order
    std::deque<keeper_audit_entry> audits; // audit lines some store has not taken yet
    std::string log_why, db_why;           // why each last refused
    uint32_t retry_ms = 0;
};

// What became of a record when it was handed over.
struct keeper_kept {
    bool kept = true;     // in the log and in the database (or its spool), each one asked for
    bool spooled = false; // the database did not take it now: it waits in the spool
    // Not kept: where it is and where not, as one clause ("its record is in
    // the database line.db, not in line3.jsonl (No space left on device)";
    // "its record was not kept: cannot write line3.jsonl (...)"). Kept but
    // spooled: why the database did not take it.
    std::string why;
};

// Keeps records in `log` ("": none) and `db` (nullptr: none); with a
// database, first writes what earlier runs on this station left in their
// spools.
void keeper_init(keeper *t, const std::string &log, store *db, const std::string &db_name);
keeper_kept keeper_keep(keeper *t, const record &r);
// One line of the audit trail into the log and the database. One a store
// does not take now waits (in memory) and is tried again with the records;
// while records wait for the database it is not asked, so that no device
// waits on it.
void keeper_audit(keeper *t, const audit &a);
// Tries the waiting records (and audit lines) again, in order, at most once a second unless
// `now`. True when none waits.
bool keeper_flush(keeper *t, bool now = false);
// Whether a record waits for the log (a station then starts no device), or
// for the database.
bool keeper_log_waits(const keeper *t);
bool keeper_db_waits(const keeper *t);
// At the end: what still waits is said on standard error; the database's
// records stay in the spool, any other is printed as it would have been
// written.
void keeper_report(keeper *t);
