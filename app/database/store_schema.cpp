// The tables and their version: made by the first opener, brought up to this
// version in place by the first opener that knows it, refused when newer.
#include "app/database/record_columns.h"
#include "app/database/store_txn.h"

namespace {

// 2: records.image_written_crc32.
// 3: where and how a pool's numbers are written: pools, serials and records
//    carry the offset and the format; serials and serial_events the machine
//    of the reserving process.
// 4: what made a record: records.image_sha256 and the job (name, version,
//    the job file's SHA-256, the key that sealed it).
// 5: each bay's insertions across shifts (bays), the audit trail, and
//    records.reply_ms, how long the device's replies took to start.
constexpr int64_t store_version = 5;

const char *const bays_table = "CREATE TABLE bays (station TEXT NOT NULL, slot TEXT NOT NULL, "
                               "insertions BIGINT NOT NULL, PRIMARY KEY (station, slot))";
std::string audit_table(const std::string &id)
{
    return "CREATE TABLE audit (id " + id +
           ", time TEXT NOT NULL, station TEXT NOT NULL, event TEXT NOT NULL, slot TEXT, "
           "viewer TEXT, detail TEXT)";
}

// The run is the records' key too: a run's record goes in once (ON CONFLICT (run)).
std::string records_table(const std::string &id)
{
    std::string sql = "CREATE TABLE records (id " + id + ", ";
    for (int k = 0; k < REC_FIELDS; ++k) {
        const record_column &c = record_columns()[k];
        if (c.column)
            sql += std::string(c.column) + " " + c.sql_type + (k == REC_RUN ? " UNIQUE, " : ", ");
    }
    return sql + "record TEXT NOT NULL)";
}

std::vector<std::string> store_tables(const std::string &id)
{
    return {
        "CREATE TABLE zmk_schema (version INTEGER NOT NULL)",
        "CREATE TABLE pools (name TEXT PRIMARY KEY, kind TEXT NOT NULL CHECK (kind IN ('range', "
        "'list')), start BIGINT, step BIGINT, last BIGINT, next BIGINT, list_count BIGINT, "
        "list_crc TEXT, created TEXT NOT NULL, at BIGINT, format TEXT)",
        "CREATE TABLE serials (pool TEXT NOT NULL REFERENCES pools (name), value BIGINT NOT NULL, "
        "position BIGINT NOT NULL, state TEXT NOT NULL CHECK (state IN ('free', 'reserved', "
        "'used', 'spoiled')), run TEXT, host TEXT, pid BIGINT, port TEXT, usb_serial TEXT, "
        "usb_location TEXT, reserved_at TEXT, seen_at TEXT, ended_at TEXT, at BIGINT, "
        "format TEXT, machine TEXT, PRIMARY KEY (pool, value))",
        "CREATE INDEX serials_free ON serials (pool, state, position)",
        "CREATE INDEX serials_open ON serials (state, host, pid)",
        "CREATE TABLE serial_events (id " + id +
            ", pool TEXT NOT NULL, value BIGINT NOT NULL, event TEXT NOT NULL CHECK (event IN "
            "('reserved', 'used', 'spoiled', 'returned')), time TEXT NOT NULL, host TEXT, "
            "pid BIGINT, port TEXT, usb_serial TEXT, usb_location TEXT, run TEXT, "
            "machine TEXT)",
        "CREATE INDEX serial_events_value ON serial_events (pool, value)",
        records_table(id),
        "CREATE INDEX records_time ON records (time)",
        "CREATE INDEX records_serial ON records (serial_pool, serial_value)",
        bays_table,
        audit_table(id),
        "INSERT INTO zmk_schema (version) VALUES (" + std::to_string(store_version) + ")",
    };
}

// A database without zmk's schema that holds a table zmk would make is
// another program's: refused, not mixed into. So is a table an upgrade to
// version 5 would make (from "bays" on) that is there already.
bool schema_refuse_foreign(store *t, std::string *why, bool upgrading = false)
{
    const char *const ours[] = {"pools", "serials", "serial_events", "records", "bays", "audit"};
    for (size_t i = upgrading ? 4 : 0; i < std::size(ours); ++i) {
        store_rows r;
        if (store_exec(t, t->b->table_exists, {store_text(ours[i])}, &r) && !r.rows.empty()) {
            *why = "the database " + t->shown + " holds a table \"" + ours[i] + "\" of another " +
                   (upgrading ? "program beside zmk's: rename it, or give zmk a database of its own"
                              : "program and no zmk schema: give zmk a database of its own");
            return true;
        }
    }
    return false;
}

line_status schema_create(store *t)
{
    for (const std::string &sql : store_tables(t->b->id_column))
        if (!store_exec(t, sql, {}))
            return LINE_AWAY;
    return LINE_OK;
}

bool schema_add_column(store *t, record_field field)
{
    const record_column &c = record_columns()[field];
    return store_exec(
        t, std::string("ALTER TABLE records ADD COLUMN ") + c.column + " " + c.sql_type, {});
}

// Version 3's step: the number's place, and the machine whose process reserved it.
bool schema_add_place(store *t)
{
    for (const char *table : {"pools", "serials"})
        if (!store_exec(t, std::string("ALTER TABLE ") + table + " ADD COLUMN at BIGINT", {}) ||
            !store_exec(t, std::string("ALTER TABLE ") + table + " ADD COLUMN format TEXT", {}))
            return false;
    for (const char *table : {"serials", "serial_events"})
        if (!store_exec(t, std::string("ALTER TABLE ") + table + " ADD COLUMN machine TEXT", {}))
            return false;
    return schema_add_column(t, REC_SERIAL_AT) && schema_add_column(t, REC_SERIAL_FORMAT);
}

// Version 4's step: the image's hash and the job.
bool schema_add_job(store *t)
{
    for (const record_field f :
         {REC_IMAGE_SHA256, REC_JOB_NAME, REC_JOB_VERSION, REC_JOB_SHA256, REC_JOB_KEY_ID})
        if (!schema_add_column(t, f))
            return false;
    return true;
}

// Version 5's steps: the bays' insertions and the audit trail; the run's reply time.
bool schema_add_audit(store *t)
{
    return store_exec(t, bays_table, {}) && store_exec(t, audit_table(t->b->id_column), {});
}
bool schema_add_reply(store *t) { return schema_add_column(t, REC_REPLY_MS); }

// Each version's step from the one before, then the version reached; the rows stay.
line_status schema_upgrade(store *t, int64_t version)
{
    if (version < 2 && !schema_add_column(t, REC_IMAGE_WRITTEN_CRC32))
        return LINE_AWAY;
    if (version < 3 && !schema_add_place(t))
        return LINE_AWAY;
    if (version < 4 && !schema_add_job(t))
        return LINE_AWAY;
    if (version < 5 && (!schema_add_audit(t) || !schema_add_reply(t)))
        return LINE_AWAY;
    return store_exec(t, "UPDATE zmk_schema SET version = $1", {store_int(store_version)})
               ? LINE_OK
               : LINE_AWAY;
}

} // namespace

// The version is read only once the schema lock (PostgreSQL) or the write
// lock (SQLite's BEGIN IMMEDIATE) is held, so two openers never both upgrade.
line_status store_schema(store *t, std::string *why)
{
    store_rows r;
    if (t->b->lock_schema[0] && !store_exec(t, t->b->lock_schema, {}))
        return LINE_AWAY;
    if (!store_exec(t, t->b->table_exists, {store_text("zmk_schema")}, &r))
        return LINE_AWAY;
    if (r.rows.empty())
        return schema_refuse_foreign(t, why) ? LINE_REFUSED : schema_create(t);
    if (!store_exec(t, "SELECT MAX(version) FROM zmk_schema", {}, &r))
        return LINE_AWAY;
    const int64_t version = store_number(r.rows.at(0).at(0));
    if (version < 5 && schema_refuse_foreign(t, why, true))
        return LINE_REFUSED;
    if (version < store_version)
        return schema_upgrade(t, version);
    if (version == store_version)
        return LINE_OK;
    *why = "the database " + t->shown + " has schema version " + std::to_string(version) +
           "; this zmk-cli knows up to " + std::to_string(store_version);
    return LINE_REFUSED;
}
