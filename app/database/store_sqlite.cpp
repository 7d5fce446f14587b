// The line's database in an SQLite file: durable commits (synchronous=FULL),
// writers one at a time (BEGIN IMMEDIATE), at most ~10 s waiting for another;
// a record's write waits 0.1 s at most.
#include "app/database/store_sql.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <string>

struct store_conn {
    sqlite3 *db;
    bool begin_due = false; // a transaction was asked for: it starts with its first statement
    int wait_ms = 0;        // how long the running statement may wait for the lock
};

namespace {

const char SQLITE_BEGIN[] = "BEGIN IMMEDIATE";
const int SQLITE_WAIT_MS = 10000;
// A record that cannot be written at once goes to the keeper's spool, so
// that no device waits on another program's lock.
const int SQLITE_RECORD_WAIT_MS = 100;

// The shared SQL's $1 becomes ?1: SQLite numbers `$name` parameters by first use.
std::string sqlite_params(const char *sql)
{
    std::string out(sql);
    for (char &c : out)
        if (c == '$')
            c = '?';
    return out;
}

store_sql_rc sqlite_fail(store_conn *c, int rc, std::string *why)
{
    *why = sqlite3_errmsg(c->db);
    const int primary = rc & 0xff;
    if (primary == SQLITE_READONLY)
        // SQLite writes its journal beside the file: a writable file in a
        // folder that is not writable reads as a read-only database.
        *why += ": the file and its folder must both be writable (SQLite keeps its journal "
                "beside the file)";
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
        char held[80];
        std::snprintf(held, sizeof held, "another program has held the file locked for over %g s",
                      c->wait_ms / 1000.0);
        *why = held + (" (" + *why + ")");
    }
    return primary == SQLITE_IOERR || primary == SQLITE_CANTOPEN ? STORE_SQL_LOST
                                                                 : STORE_SQL_FAILED;
}

int sqlite_bind(sqlite3_stmt *s, const std::vector<store_param> &params)
{
    int rc = SQLITE_OK;
    for (size_t k = 0; k < params.size() && rc == SQLITE_OK; ++k) {
        const store_param &p = params[k];
        const int at = int(k + 1);
        switch (p.kind) {
        case store_param::NUL: rc = sqlite3_bind_null(s, at); break;
        case store_param::INT: rc = sqlite3_bind_int64(s, at, p.i); break;
        case store_param::REAL: rc = sqlite3_bind_double(s, at, p.r); break;
        case store_param::TEXT:
            rc = sqlite3_bind_text(s, at, p.s.data(), int(p.s.size()), SQLITE_TRANSIENT);
            break;
        }
    }
    return rc;
}

store_row sqlite_row(sqlite3_stmt *s)
{
    store_row row(size_t(sqlite3_column_count(s)));
    for (size_t k = 0; k < row.size(); ++k)
        if (sqlite3_column_type(s, int(k)) != SQLITE_NULL)
            row[k] = reinterpret_cast<const char *>(sqlite3_column_text(s, int(k)));
    return row;
}

// The write lock is taken just before the transaction's first statement,
// which says how long it may wait: a record's insert hardly at all.
int sqlite_begin(store_conn *c, const char *first)
{
    c->begin_due = false;
    if (std::strncmp(first, "INSERT INTO records ", 20) == 0)
        c->wait_ms = SQLITE_RECORD_WAIT_MS;
    sqlite3_busy_timeout(c->db, c->wait_ms);
    const int rc = sqlite3_exec(c->db, SQLITE_BEGIN, nullptr, nullptr, nullptr);
    sqlite3_busy_timeout(c->db, SQLITE_WAIT_MS);
    return rc;
}

store_sql_rc sqlite_exec(store_conn *c, const char *sql, const std::vector<store_param> &params,
                         store_rows *out, std::string *why)
{
    sqlite3_stmt *s = nullptr;
    out->rows.clear();
    out->changed = 0;
    c->wait_ms = SQLITE_WAIT_MS;
    if (std::strcmp(sql, SQLITE_BEGIN) == 0) {
        c->begin_due = true;
        return STORE_SQL_OK;
    }
    int rc = c->begin_due ? sqlite_begin(c, sql) : SQLITE_OK;
    if (rc != SQLITE_OK)
        return sqlite_fail(c, rc, why);
    c->wait_ms = SQLITE_WAIT_MS;
    const std::string text = sqlite_params(sql);
    rc = sqlite3_prepare_v2(c->db, text.c_str(), -1, &s, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite_bind(s, params);
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        rc = sqlite3_step(s);
        if (rc == SQLITE_ROW)
            out->rows.push_back(sqlite_row(s));
    }
    out->changed = sqlite3_changes(c->db);
    store_sql_rc result = rc == SQLITE_DONE ? STORE_SQL_OK : sqlite_fail(c, rc, why);
    sqlite3_finalize(s);
    return result;
}

store_conn *sqlite_open(const std::string &name, std::string *why)
{
    sqlite3 *db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_busy_timeout(db, SQLITE_WAIT_MS);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        *why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return nullptr;
    }
    return new store_conn{db};
}

void sqlite_close(store_conn *c)
{
    sqlite3_close(c->db);
    delete c;
}

const store_backend sqlite_backend = {
    sqlite_open,
    sqlite_close,
    sqlite_exec,
    SQLITE_BEGIN,
    "",
    "",
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = $1",
    "INTEGER PRIMARY KEY AUTOINCREMENT",
    "SELECT CAST(strftime('%s', 'now') AS INTEGER)",
};

} // namespace

const store_backend *store_sqlite_backend() { return &sqlite_backend; }
