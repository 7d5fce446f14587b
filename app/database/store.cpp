// The ledger and the records over the SQL seam: connections that come back by
// themselves, one transaction per call, the schema and its version.
#include "app/database/store.h"

#include "app/database/store_sql.h"
#include "framework/bytes.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

struct store {
    const store_backend *b;
    std::string name;  // as given, to connect again
    std::string shown; // without a password
    store_conn *c = nullptr;
    store_sql_rc failed = STORE_SQL_OK; // the transaction's first failure
    std::string failed_why;
};

namespace {

constexpr int64_t store_version = 1;

using store_body = std::function<store_status(std::string *why)>;

store_param text_or_null(const std::string &s) { return s.empty() ? store_null() : store_text(s); }

int64_t number(const std::optional<std::string> &v)
{
    return v ? std::strtoll(v->c_str(), nullptr, 10) : 0;
}

std::string in_quotes(const std::string &s) { return "\"" + s + "\""; }

// One statement of the running transaction; its failure is kept for the
// runner, which decides between rolling back, connecting again and retrying.
bool q(store *t, const std::string &sql, const std::vector<store_param> &params,
       store_rows *out = nullptr)
{
    store_rows ignored;
    const store_sql_rc rc =
        t->b->exec(t->c, sql.c_str(), params, out ? out : &ignored, &t->failed_why);
    if (rc != STORE_SQL_OK && t->failed == STORE_SQL_OK)
        t->failed = rc;
    return rc == STORE_SQL_OK;
}

// The database's clock, `ago` seconds back: one clock for every station, so
// that none judges another's reservations by its own. ISO-8601 UTC to the
// second, as text that both engines compare and sort alike.
bool store_time(store *t, std::string *text, int64_t ago = 0)
{
    store_rows r;
    if (!q(t, t->b->now_seconds, {}, &r))
        return false;
    using namespace std::chrono;
    const sys_seconds now{seconds(number(r.rows.at(0).at(0)) - ago)};
    const auto day = floor<days>(now);
    const year_month_day ymd{day};
    const hh_mm_ss hms{now - day};
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(ymd.year()),
                  unsigned(ymd.month()), unsigned(ymd.day()), int(hms.hours().count()),
                  int(hms.minutes().count()), int(hms.seconds().count()));
    *text = out;
    return true;
}

void store_drop(store *t)
{
    if (t->c)
        t->b->close(t->c);
    t->c = nullptr;
}

// One attempt: begin, the body, commit. What the body decides is committed
// whatever it answers, since an answer other than STORE_OK may still have
// written (a record kept that the ledger cannot follow). `again`: nothing was
// committed and the transaction may run again.
store_status store_attempt(store *t, const store_body &body, bool *again, std::string *why)
{
    t->failed = STORE_SQL_OK;
    store_status s = STORE_AWAY;
    bool committing = false;
    if (q(t, t->b->begin, {}))
        s = body(why);
    if (t->failed == STORE_SQL_OK) {
        committing = true;
        if (q(t, "COMMIT", {}))
            return s;
    }
    // A commit whose answer was lost may have happened: never again.
    *again = t->failed == STORE_SQL_RETRY || (t->failed == STORE_SQL_LOST && !committing);
    *why = t->failed_why;
    store_rows ignored;
    std::string ignored_why;
    if (t->failed == STORE_SQL_LOST ||
        t->b->exec(t->c, "ROLLBACK", {}, &ignored, &ignored_why) == STORE_SQL_LOST)
        store_drop(t);
    return STORE_AWAY;
}

std::vector<std::string> store_tables(const std::string &id)
{
    return {
        "CREATE TABLE zmk_schema (version INTEGER NOT NULL)",
        "CREATE TABLE pools (name TEXT PRIMARY KEY, kind TEXT NOT NULL CHECK (kind IN ('range', "
        "'list')), start BIGINT, step BIGINT, last BIGINT, next BIGINT, list_count BIGINT, "
        "list_crc TEXT, created TEXT NOT NULL)",
        "CREATE TABLE serials (pool TEXT NOT NULL REFERENCES pools (name), value BIGINT NOT NULL, "
        "position BIGINT NOT NULL, state TEXT NOT NULL CHECK (state IN ('free', 'reserved', "
        "'used', 'spoiled')), run TEXT, host TEXT, pid BIGINT, port TEXT, usb_serial TEXT, "
        "usb_location TEXT, reserved_at TEXT, seen_at TEXT, ended_at TEXT, "
        "PRIMARY KEY (pool, value))",
        "CREATE INDEX serials_free ON serials (pool, state, position)",
        "CREATE INDEX serials_open ON serials (state, host, pid)",
        "CREATE TABLE serial_events (id " + id +
            ", pool TEXT NOT NULL, value BIGINT NOT NULL, event TEXT NOT NULL CHECK (event IN "
            "('reserved', 'used', 'spoiled', 'returned')), time TEXT NOT NULL, host TEXT, "
            "pid BIGINT, port TEXT, usb_serial TEXT, usb_location TEXT, run TEXT)",
        "CREATE INDEX serial_events_value ON serial_events (pool, value)",
        "CREATE TABLE records (id " + id +
            ", run TEXT UNIQUE, time TEXT, host TEXT, port TEXT, usb_vid TEXT, usb_pid TEXT, "
            "usb_serial TEXT, usb_location TEXT, image_name TEXT, image_size BIGINT, "
            "image_crc32 TEXT, result TEXT, exit INTEGER, message TEXT, seconds DOUBLE "
            "PRECISION, exchanges BIGINT, repeats BIGINT, serial_pool TEXT, serial_value BIGINT, "
            "serial_bytes TEXT, serial_state TEXT, record TEXT NOT NULL)",
        "CREATE INDEX records_time ON records (time)",
        "CREATE INDEX records_serial ON records (serial_pool, serial_value)",
        "INSERT INTO zmk_schema (version) VALUES (" + std::to_string(store_version) + ")",
    };
}

// Made by the first opener, while the others wait; checked by every later one.
store_status store_schema(store *t, std::string *why)
{
    store_rows r;
    if (t->b->lock_schema[0] && !q(t, t->b->lock_schema, {}))
        return STORE_AWAY;
    if (!q(t, t->b->table_exists, {store_text("zmk_schema")}, &r))
        return STORE_AWAY;
    if (r.rows.empty()) {
        for (const std::string &sql : store_tables(t->b->id_column))
            if (!q(t, sql, {}))
                return STORE_AWAY;
        return STORE_OK;
    }
    if (!q(t, "SELECT MAX(version) FROM zmk_schema", {}, &r))
        return STORE_AWAY;
    const int64_t version = number(r.rows.at(0).at(0));
    if (version <= store_version)
        return STORE_OK;
    *why = "the database " + t->shown + " has schema version " + std::to_string(version) +
           "; this zmk-cli knows up to " + std::to_string(store_version);
    return STORE_MISMATCH;
}

// A connection when there is none (the first call, or after one was lost),
// with the schema checked on it.
bool store_connect(store *t, std::string *why)
{
    if (t->c)
        return true;
    t->c = t->b->open(t->name, why);
    if (!t->c)
        return false;
    bool again = false;
    if (store_attempt(
            t, [t](std::string *w) { return store_schema(t, w); }, &again, why) == STORE_OK)
        return true;
    store_drop(t);
    return false;
}

// The body in one transaction, run again (at most three times) when nothing
// was committed: a deadlock, or a connection lost before the commit.
store_status store_txn(store *t, const store_body &body, std::string *why)
{
    for (int attempt = 1;; ++attempt) {
        if (!store_connect(t, why))
            return STORE_AWAY;
        bool again = false;
        const store_status s = store_attempt(t, body, &again, why);
        if (!again || attempt == 3)
            return s;
    }
}

bool store_event(store *t, const std::string &pool, int64_t value, const char *event,
                 const std::string &time, const store_who &w)
{
    return q(t,
             "INSERT INTO serial_events (pool, value, event, time, host, pid, port, usb_serial, "
             "usb_location, run) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)",
             {store_text(pool), store_int(value), store_text(event), store_text(time),
              text_or_null(w.host), store_int(w.pid), text_or_null(w.port),
              text_or_null(w.usb_serial), text_or_null(w.usb_location), text_or_null(w.run_id)});
}

} // namespace

std::string store_display_name(const std::string &name)
{
    if (!store_is_server_name(name))
        return name;
    const size_t from = name.find("://") + 3;
    const size_t end = std::min(name.find_first_of("/?#", from), name.size());
    const size_t at = name.rfind('@', end - 1);
    const size_t colon = name.find(':', from);
    std::string out = name;
    if (at != std::string::npos && at >= from && colon < at)
        out = name.substr(0, colon) + name.substr(at);
    // A password among the parameters goes too.
    const size_t query = out.find('?');
    if (query == std::string::npos)
        return out;
    std::string kept;
    for (size_t k = query + 1; k <= out.size();) {
        const size_t amp = std::min(out.find('&', k), out.size());
        const std::string item = out.substr(k, amp - k);
        if (item.rfind("password=", 0) != 0 && !item.empty())
            kept += (kept.empty() ? "" : "&") + item;
        k = amp + 1;
    }
    return out.substr(0, query) + (kept.empty() ? "" : "?" + kept);
}

bool store_name_valid(const std::string &name, std::string *why)
{
    if (store_is_server_name(name))
        return store_pg_uri_valid(name, why);
    if (name.empty())
        *why = "--db needs a file name or a postgresql:// URI";
    return !name.empty();
}

bool store_is_server_name(const std::string &name)
{
    return name.rfind("postgresql://", 0) == 0 || name.rfind("postgres://", 0) == 0;
}

store *store_open(const std::string &name, std::string *why)
{
    const bool server = store_is_server_name(name);
    store *t = new store{server ? store_pg_backend() : store_sqlite_backend(), name,
                         store_display_name(name)};
    if (store_connect(t, why))
        return t;
    delete t;
    return nullptr;
}

void store_close(store *t)
{
    if (!t)
        return;
    store_drop(t);
    delete t;
}

namespace {

// pools row: kind, start, step, last, next, list_count, list_crc
enum { POOL_KIND, POOL_START, POOL_STEP, POOL_LAST, POOL_NEXT, POOL_COUNT, POOL_CRC };

std::string pool_invalid(const store_pool &p)
{
    const std::string top = std::to_string(INT64_MAX);
    if (p.name.empty())
        return "a pool needs a name";
    if (!p.list && p.step < 1)
        return "a range's step must be at least 1";
    if (!p.list && (p.start > p.last || p.last > uint64_t(INT64_MAX)))
        return "a range runs from its start up to its last value, at most " + top;
    if (!p.list)
        return "";
    if (p.values.empty())
        return "a list needs at least one value";
    std::vector<uint64_t> sorted = p.values;
    std::sort(sorted.begin(), sorted.end());
    if (sorted.back() > uint64_t(INT64_MAX))
        return "a list's values are at most " + top;
    const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
    if (twice != sorted.end())
        return "the list holds " + std::to_string(*twice) + " twice";
    return "";
}

// The list's values in order, as the CRC-32 of their 8-byte little-endian forms.
std::string list_crc(const std::vector<uint64_t> &values)
{
    uint32_t reg = 0xFFFFFFFFu;
    for (uint64_t v : values)
        for (int b = 0; b < 8; ++b)
            reg = crc32_byte(reg, uint32_t(v >> (8 * b)) & 0xFF);
    char text[16];
    std::snprintf(text, sizeof text, "%08x", unsigned(~reg));
    return text;
}

std::string range_text(uint64_t start, uint64_t step, uint64_t last)
{
    return "the range " + std::to_string(start) + " to " + std::to_string(last) +
           (step == 1 ? "" : " step " + std::to_string(step));
}

std::string pool_text(const store_row &row)
{
    if (*row[POOL_KIND] == "list")
        return "a list of " + *row[POOL_COUNT] + " values";
    return range_text(number(row[POOL_START]), number(row[POOL_STEP]), number(row[POOL_LAST])) +
           (row[POOL_NEXT] ? " (next " + *row[POOL_NEXT] + ")" : " (all handed out)");
}

std::string pool_text(const store_pool &p)
{
    return p.list ? "a list of " + std::to_string(p.values.size()) + " values"
                  : range_text(p.start, p.step, p.last);
}

bool pool_same(const store_row &row, const store_pool &p)
{
    if (p.list)
        return *row[POOL_KIND] == "list" && number(row[POOL_COUNT]) == int64_t(p.values.size()) &&
               *row[POOL_CRC] == list_crc(p.values);
    return *row[POOL_KIND] == "range" && number(row[POOL_START]) == int64_t(p.start) &&
           number(row[POOL_STEP]) == int64_t(p.step) && number(row[POOL_LAST]) == int64_t(p.last);
}

bool pool_row(store *t, const std::string &name, bool lock, store_rows *r)
{
    const std::string sql = "SELECT kind, start, step, last, next, list_count, list_crc FROM pools "
                            "WHERE name = $1";
    return q(t, lock ? sql + t->b->for_update : sql, {store_text(name)}, r);
}

// A list's values go in as free numbers, a few hundred to a statement.
bool pool_insert_list(store *t, const store_pool &p)
{
    constexpr size_t batch = 200;
    for (size_t at = 0; at < p.values.size(); at += batch) {
        std::string sql = "INSERT INTO serials (pool, value, position, state) VALUES ";
        std::vector<store_param> params{store_text(p.name)};
        for (size_t k = at; k < std::min(at + batch, p.values.size()); ++k) {
            const std::string n = std::to_string(params.size() + 1);
            sql += (k > at ? ", ($1, $" : "($1, $") + n + ", $" +
                   std::to_string(params.size() + 2) + ", 'free')";
            params.push_back(store_int(int64_t(p.values[k])));
            params.push_back(store_int(int64_t(k)));
        }
        if (!q(t, sql, params))
            return false;
    }
    return true;
}

// Whoever defines the pool first also puts in its list; the others find it.
bool pool_define(store *t, const store_pool &p)
{
    store_rows r;
    std::string now;
    const bool ok = store_time(t, &now) &&
                    q(t,
                      "INSERT INTO pools (name, kind, start, step, last, next, list_count, "
                      "list_crc, created) VALUES ($1, $2, $3, $4, $5, $3, $6, $7, $8) "
                      "ON CONFLICT (name) DO NOTHING",
                      {store_text(p.name), store_text(p.list ? "list" : "range"),
                       p.list ? store_null() : store_int(int64_t(p.start)),
                       p.list ? store_null() : store_int(int64_t(p.step)),
                       p.list ? store_null() : store_int(int64_t(p.last)),
                       p.list ? store_int(int64_t(p.values.size())) : store_null(),
                       p.list ? store_text(list_crc(p.values)) : store_null(), store_text(now)},
                      &r);
    return ok && (!p.list || r.changed == 0 || pool_insert_list(t, p));
}

// Where two lists part: the held values in order against the given ones.
bool list_difference(store *t, const store_pool &p, std::string *text)
{
    store_rows r;
    if (!q(t, "SELECT value FROM serials WHERE pool = $1 ORDER BY position", {store_text(p.name)},
           &r))
        return false;
    for (size_t k = 0; k < std::min(r.rows.size(), p.values.size()); ++k)
        if (number(r.rows[k][0]) != int64_t(p.values[k])) {
            *text = "; they differ first at position " + std::to_string(k + 1) + ": " +
                    *r.rows[k][0] + " held, " + std::to_string(p.values[k]) + " given";
            return true;
        }
    return true;
}

store_status pool_mismatch(store *t, const store_row &row, const store_pool &p, std::string *why)
{
    std::string difference;
    if (p.list && *row[POOL_KIND] == "list" && !list_difference(t, p, &difference))
        return STORE_AWAY;
    *why = "the pool " + in_quotes(p.name) + " is " + pool_text(row) + ", not " + pool_text(p) +
           difference;
    return STORE_MISMATCH;
}

std::string pool_exhausted(const std::string &name, const store_row &row)
{
    return "the pool " + in_quotes(name) + " has nothing left to hand out: " + pool_text(row) +
           ", every number taken and none given back";
}

// The lowest free number given back or put in by a list, if any.
bool pool_free(store *t, const std::string &name, store_rows *r)
{
    return q(t,
             "SELECT value FROM serials WHERE pool = $1 AND state = 'free' ORDER BY position "
             "LIMIT 1",
             {store_text(name)}, r);
}

store_status pool_check_body(store *t, const store_pool &p, std::string *why)
{
    store_rows r, f;
    if (!pool_row(t, p.name, false, &r))
        return STORE_AWAY;
    if (r.rows.empty() && !(pool_define(t, p) && pool_row(t, p.name, false, &r)))
        return STORE_AWAY;
    const store_row row = r.rows.at(0);
    if (!pool_same(row, p))
        return pool_mismatch(t, row, p, why);
    if (row[POOL_NEXT])
        return STORE_OK;
    if (!pool_free(t, p.name, &f))
        return STORE_AWAY;
    if (!f.rows.empty())
        return STORE_OK;
    *why = pool_exhausted(p.name, row);
    return STORE_EXHAUSTED;
}

bool reserve_free(store *t, const std::string &pool, int64_t value, const store_who &w,
                  const std::string &now)
{
    return q(t,
             "UPDATE serials SET state = 'reserved', run = $3, host = $4, pid = $5, port = $6, "
             "usb_serial = $7, usb_location = $8, reserved_at = $9, seen_at = $9, ended_at = NULL "
             "WHERE pool = $1 AND value = $2",
             {store_text(pool), store_int(value), text_or_null(w.run_id), text_or_null(w.host),
              store_int(w.pid), text_or_null(w.port), text_or_null(w.usb_serial),
              text_or_null(w.usb_location), store_text(now)});
}

// The range's next value; the one after it, or none once past the last.
bool reserve_next(store *t, const std::string &pool, const store_row &row, const store_who &w,
                  const std::string &now)
{
    const uint64_t value = uint64_t(number(row[POOL_NEXT])),
                   step = uint64_t(number(row[POOL_STEP]));
    const uint64_t start = uint64_t(number(row[POOL_START])),
                   last = uint64_t(number(row[POOL_LAST]));
    const store_param next = last - value >= step ? store_int(int64_t(value + step)) : store_null();
    return q(t,
             "INSERT INTO serials (pool, value, position, state, run, host, pid, port, "
             "usb_serial, usb_location, reserved_at, seen_at) VALUES ($1, $2, $3, 'reserved', "
             "$4, $5, $6, $7, $8, $9, $10, $10)",
             {store_text(pool), store_int(int64_t(value)),
              store_int(int64_t((value - start) / step)), text_or_null(w.run_id),
              text_or_null(w.host), store_int(w.pid), text_or_null(w.port),
              text_or_null(w.usb_serial), text_or_null(w.usb_location), store_text(now)}) &&
           q(t, "UPDATE pools SET next = $2 WHERE name = $1", {store_text(pool), next});
}

store_status reserve_body(store *t, const std::string &pool, const store_who &w, uint64_t *value,
                          std::string *why)
{
    store_rows r, f;
    if (!pool_row(t, pool, true, &r) || !pool_free(t, pool, &f))
        return STORE_AWAY;
    if (r.rows.empty()) {
        *why = "no pool " + in_quotes(pool) + " is defined";
        return STORE_MISMATCH;
    }
    std::string now;
    if (!store_time(t, &now))
        return STORE_AWAY;
    const store_row &row = r.rows[0];
    int64_t v = 0;
    if (!f.rows.empty()) {
        v = number(f.rows[0][0]);
        if (!reserve_free(t, pool, v, w, now))
            return STORE_AWAY;
    } else if (row[POOL_NEXT]) {
        v = number(row[POOL_NEXT]);
        if (!reserve_next(t, pool, row, w, now))
            return STORE_AWAY;
    } else {
        *why = pool_exhausted(pool, row);
        return STORE_EXHAUSTED;
    }
    if (!store_event(t, pool, v, "reserved", now, w))
        return STORE_AWAY;
    *value = uint64_t(v);
    return STORE_OK;
}

} // namespace

store_status store_pool_check(store *t, const store_pool &pool, std::string *why)
{
    const std::string invalid = pool_invalid(pool);
    if (!invalid.empty()) {
        *why = "the pool " + in_quotes(pool.name) + ": " + invalid;
        return STORE_MISMATCH;
    }
    return store_txn(
        t, [&](std::string *w) { return pool_check_body(t, pool, w); }, why);
}

store_status store_reserve(store *t, const std::string &pool, const store_who &who, uint64_t *value,
                           std::string *why)
{
    return store_txn(
        t, [&](std::string *w) { return reserve_body(t, pool, who, value, w); }, why);
}

namespace {

// serials row of an open reservation: pool, value, run, host, pid, port, usb_serial, usb_location
const char *const open_columns = "SELECT pool, value, run, host, pid, port, usb_serial, "
                                 "usb_location FROM serials WHERE state = 'reserved' AND ";

using open_rows = std::map<std::pair<std::string, int64_t>, store_who>;

void open_collect(const store_rows &r, open_rows *out)
{
    for (const store_row &row : r.rows)
        (*out)[{*row[0], number(row[1])}] =
            store_who{row[2].value_or(""), row[3].value_or(""), number(row[4]),
                      row[5].value_or(""), row[6].value_or(""), row[7].value_or("")};
}

// This host's reservations whose process is gone, and anyone's unseen for too long.
bool spoil_find(store *t, const std::string &host, bool (*alive)(int64_t), int stale_seconds,
                open_rows *found)
{
    store_rows r;
    std::string cutoff;
    if (!store_time(t, &cutoff, stale_seconds) ||
        !q(t, std::string(open_columns) + "seen_at < $1", {store_text(cutoff)}, &r))
        return false;
    open_collect(r, found);
    if (!alive)
        return true;
    if (!q(t, "SELECT DISTINCT pid FROM serials WHERE state = 'reserved' AND host = $1",
           {store_text(host)}, &r))
        return false;
    const std::vector<store_row> pids = r.rows;
    for (const store_row &pid : pids) {
        if (alive(number(pid[0])))
            continue;
        if (!q(t, std::string(open_columns) + "host = $1 AND pid = $2",
               {store_text(host), store_int(number(pid[0]))}, &r))
            return false;
        open_collect(r, found);
    }
    return true;
}

// In key order, so that two stations spoiling at once never wait on each other in a circle.
store_status spoil_body(store *t, const std::string &host, bool (*alive)(int64_t),
                        int stale_seconds, int *count)
{
    open_rows found;
    if (!spoil_find(t, host, alive, stale_seconds, &found))
        return STORE_AWAY;
    std::string now;
    if (!store_time(t, &now))
        return STORE_AWAY;
    *count = 0;
    for (const auto &[key, who] : found) {
        store_rows r;
        if (!q(t,
               "UPDATE serials SET state = 'spoiled', ended_at = $3 WHERE pool = $1 AND "
               "value = $2 AND state = 'reserved'",
               {store_text(key.first), store_int(key.second), store_text(now)}, &r))
            return STORE_AWAY;
        if (r.changed && !store_event(t, key.first, key.second, "spoiled", now, who))
            return STORE_AWAY;
        *count += int(r.changed);
    }
    return STORE_OK;
}

} // namespace

int store_spoil_stale(store *t, const std::string &host, bool (*alive)(int64_t pid),
                      int stale_seconds, std::string *why)
{
    int count = 0;
    const store_status s = store_txn(
        t, [&](std::string *) { return spoil_body(t, host, alive, stale_seconds, &count); }, why);
    return s == STORE_OK ? count : -1;
}

store_status store_touch(store *t, const std::string &host, int64_t pid, std::string *why)
{
    return store_txn(
        t,
        [&](std::string *) {
            std::string now;
            return store_time(t, &now) &&
                           q(t,
                             "UPDATE serials SET seen_at = $3 WHERE state = 'reserved' AND "
                             "host = $1 AND pid = $2",
                             {store_text(host), store_int(pid), store_text(now)})
                       ? STORE_OK
                       : STORE_AWAY;
        },
        why);
}

store_status store_totals(store *t, const std::string &since, int64_t *runs, int64_t *ok,
                          std::string *why)
{
    return store_txn(
        t,
        [&](std::string *) {
            store_rows r;
            if (!q(t,
                   "SELECT COUNT(*), SUM(CASE WHEN result = 'ok' THEN 1 ELSE 0 END) FROM records "
                   "WHERE time >= $1",
                   {store_text(since)}, &r))
                return STORE_AWAY;
            *runs = number(r.rows.at(0).at(0));
            *ok = number(r.rows.at(0).at(1));
            return STORE_OK;
        },
        why);
}

namespace {

using json = nlohmann::json;

// records columns and where each comes from in the record's JSON.
struct record_column {
    const char *name;
    std::vector<const char *> path;
    store_param::kind_t kind;
};

const std::vector<record_column> &record_columns()
{
    static const std::vector<record_column> columns = {
        {"run", {"run"}, store_param::TEXT},
        {"time", {"time"}, store_param::TEXT},
        {"host", {"host"}, store_param::TEXT},
        {"port", {"port"}, store_param::TEXT},
        {"usb_vid", {"usb", "vid"}, store_param::TEXT},
        {"usb_pid", {"usb", "pid"}, store_param::TEXT},
        {"usb_serial", {"usb", "serial"}, store_param::TEXT},
        {"usb_location", {"usb", "location"}, store_param::TEXT},
        {"image_name", {"image", "name"}, store_param::TEXT},
        {"image_size", {"image", "size"}, store_param::INT},
        {"image_crc32", {"image", "crc32"}, store_param::TEXT},
        {"result", {"result"}, store_param::TEXT},
        {"exit", {"exit"}, store_param::INT},
        {"message", {"message"}, store_param::TEXT},
        {"seconds", {"seconds"}, store_param::REAL},
        {"exchanges", {"exchanges"}, store_param::INT},
        {"repeats", {"repeats"}, store_param::INT},
        {"serial_pool", {"serial", "pool"}, store_param::TEXT},
        {"serial_value", {"serial", "value"}, store_param::INT},
        {"serial_bytes", {"serial", "bytes"}, store_param::TEXT},
        {"serial_state", {"serial", "state"}, store_param::TEXT},
    };
    return columns;
}

const json *json_at(const json &j, const std::vector<const char *> &path)
{
    const json *at = &j;
    for (const char *key : path) {
        if (!at->is_object() || at->find(key) == at->end())
            return nullptr;
        at = &*at->find(key);
    }
    return at->is_null() ? nullptr : at;
}

// A value of the column's kind, or NULL when the record has none of that kind.
store_param json_param(const json *v, store_param::kind_t kind)
{
    if (!v)
        return store_null();
    if (kind == store_param::TEXT)
        return store_text(v->is_string() ? v->get<std::string>()
                                         : v->dump(-1, ' ', false, json::error_handler_t::replace));
    if (kind == store_param::REAL && v->is_number())
        return store_real(v->get<double>());
    if (v->is_number_unsigned() && v->get<uint64_t>() <= uint64_t(INT64_MAX))
        return store_int(int64_t(v->get<uint64_t>()));
    if (v->is_number_integer() && !v->is_number_unsigned())
        return store_int(v->get<int64_t>());
    return store_null();
}

std::string record_insert_sql()
{
    std::string names, values;
    for (size_t k = 0; k < record_columns().size(); ++k) {
        names += std::string(record_columns()[k].name) + ", ";
        values += '$' + std::to_string(k + 1) + ", ";
    }
    return "INSERT INTO records (" + names + "record) VALUES (" + values + "$" +
           std::to_string(record_columns().size() + 1) + ") ON CONFLICT (run) DO NOTHING";
}

struct finish_input {
    std::vector<store_param> params; // the records row
    store_who who;                   // the device at its end (pid: the reserver's, from the ledger)
    bool serial = false;             // the record carries a serial number
    std::string pool, state;
    int64_t value = 0;
    std::string unfollowable; // why the ledger cannot follow the serial; "" when it can
};

std::string text_at(const json &j, const std::vector<const char *> &path)
{
    const store_param p = json_param(json_at(j, path), store_param::TEXT);
    return p.kind == store_param::TEXT ? p.s : "";
}

void finish_read(const json &j, const std::string &line, finish_input *f)
{
    for (const record_column &c : record_columns())
        f->params.push_back(json_param(json_at(j, c.path), c.kind));
    f->params.push_back(store_text(line));
    f->who = store_who{
        text_at(j, {"run"}),  text_at(j, {"host"}),          0,
        text_at(j, {"port"}), text_at(j, {"usb", "serial"}), text_at(j, {"usb", "location"})};
    const json *serial = json_at(j, {"serial"});
    f->serial = serial != nullptr;
    if (!f->serial)
        return;
    f->pool = text_at(j, {"serial", "pool"});
    f->state = text_at(j, {"serial", "state"});
    const store_param value = json_param(json_at(j, {"serial", "value"}), store_param::INT);
    f->value = value.i;
    if (f->pool.empty() || value.kind != store_param::INT)
        f->unfollowable =
            "its serial has no pool or no value from 0 to " + std::to_string(INT64_MAX);
    else if (f->state != "used" && f->state != "spoiled" && f->state != "returned")
        f->unfollowable = "its serial's state is " + in_quotes(f->state) +
                          ", not \"used\", \"spoiled\" or \"returned\"";
}

// What the number becomes: the device's truth, except that a number spoiled
// meanwhile (as stale) is never handed out again.
std::string finish_state(const std::string &held, const std::string &told)
{
    if (told == "used")
        return "used";
    if (told == "returned" && held == "reserved")
        return "free";
    return "spoiled";
}

store_status finish_serial(store *t, finish_input f, std::string *why)
{
    store_rows r;
    const std::string what = "the record of run " + in_quotes(f.who.run_id) +
                             " is kept; its serial " + f.pool + " " + std::to_string(f.value);
    if (!q(t,
           std::string("SELECT state, run, pid FROM serials WHERE pool = $1 AND value = $2") +
               t->b->for_update,
           {store_text(f.pool), store_int(f.value)}, &r))
        return STORE_AWAY;
    if (r.rows.empty()) {
        *why = what + " was never handed out by this database; the ledger is left as it is";
        return STORE_MISMATCH;
    }
    const std::string held = *r.rows[0][0], holder = r.rows[0][1].value_or("");
    if (holder != f.who.run_id || (held != "reserved" && held != "spoiled")) {
        *why = what + " is " + held + (holder.empty() ? "" : " by run " + in_quotes(holder)) +
               " in the ledger, which is left as it is";
        return STORE_MISMATCH;
    }
    std::string now;
    f.who.pid = number(r.rows[0][2]);
    const bool ok =
        store_time(t, &now) &&
        q(t, "UPDATE serials SET state = $3, ended_at = $4 WHERE pool = $1 AND value = $2",
          {store_text(f.pool), store_int(f.value), store_text(finish_state(held, f.state)),
           store_text(now)}) &&
        store_event(t, f.pool, f.value, f.state.c_str(), now, f.who);
    return ok ? STORE_OK : STORE_AWAY;
}

store_status finish_body(store *t, const finish_input &f, std::string *why)
{
    store_rows r;
    if (!q(t, record_insert_sql(), f.params, &r))
        return STORE_AWAY;
    if (r.changed == 0 || !f.serial)
        return STORE_OK; // kept before, or nothing for the ledger
    if (!f.unfollowable.empty()) {
        *why = "the record of run " + in_quotes(f.who.run_id) +
               " is kept, the ledger left as it is: " + f.unfollowable;
        return STORE_MISMATCH;
    }
    return finish_serial(t, f, why);
}

} // namespace

store_status store_finish(store *t, const std::string &record_json, std::string *why)
{
    const json j = json::parse(record_json, nullptr, false);
    if (!j.is_object()) {
        *why = "not kept: the record is no JSON object: " + record_json.substr(0, 80);
        return STORE_MISMATCH;
    }
    finish_input f;
    finish_read(j, record_json, &f);
    return store_txn(
        t, [&](std::string *w) { return finish_body(t, f, w); }, why);
}
