// The seam under the line's database: what the ledger asks of an SQL engine,
// met by SQLite (store_sqlite.cpp) and PostgreSQL (store_pg.cpp). The shared
// SQL uses $1-style parameters and one dialect; what differs stays in the
// backend as a few strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct store_param {
    enum kind_t { NUL, INT, REAL, TEXT } kind = NUL;
    int64_t i = 0;
    double r = 0;
    std::string s;
};

inline store_param store_int(int64_t v) { return {store_param::INT, v, 0, {}}; }
inline store_param store_real(double v) { return {store_param::REAL, 0, v, {}}; }
inline store_param store_text(std::string v) { return {store_param::TEXT, 0, 0, std::move(v)}; }
inline store_param store_null() { return {}; }

using store_row = std::vector<std::optional<std::string>>; // every value as text; NULL empty

struct store_rows {
    std::vector<store_row> rows;
    int64_t changed = 0; // rows an INSERT or UPDATE changed
};

enum store_sql_rc {
    STORE_SQL_OK,
    STORE_SQL_FAILED, // the statement failed; the connection stays usable
    STORE_SQL_LOST,   // the connection is gone: open it again
    STORE_SQL_RETRY,  // the server gave up the transaction (deadlock): run it again
};

struct store_conn;

struct store_backend {
    // The connection with its bounds set (time-outs, durability); nullptr with the reason.
    store_conn *(*open)(const std::string &name, std::string *why);
    void (*close)(store_conn *c);
    store_sql_rc (*exec)(store_conn *c, const char *sql, const std::vector<store_param> &params,
                         store_rows *out, std::string *why);
    const char *begin;        // starts a transaction that writes
    const char *lock_schema;  // in a transaction, waits for other schema makers; "" if none
    const char *for_update;   // ends a SELECT whose rows the transaction will change
    const char *table_exists; // one row when the table named $1 exists
    const char *id_column;    // a key the database numbers
    const char *now_seconds;  // the database's clock in whole seconds since 1970 (UTC)
};

const store_backend *store_sqlite_backend();
// Builds without libpq: a backend whose open says so.
const store_backend *store_pg_backend();
// Whether libpq takes `uri` as a connection string; false with its reason.
bool store_pg_uri_valid(const std::string &uri, std::string *why);
