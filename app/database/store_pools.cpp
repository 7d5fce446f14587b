// Pools: a range or a list defined once by whoever comes first, and the
// next number handed out of one.
#include "app/database/store_txn.h"
#include "framework/bytes.h"

#include <algorithm>
#include <cstdio>

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
    return range_text(store_number(row[POOL_START]), store_number(row[POOL_STEP]),
                      store_number(row[POOL_LAST])) +
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
        return *row[POOL_KIND] == "list" &&
               store_number(row[POOL_COUNT]) == int64_t(p.values.size()) &&
               *row[POOL_CRC] == list_crc(p.values);
    return *row[POOL_KIND] == "range" && store_number(row[POOL_START]) == int64_t(p.start) &&
           store_number(row[POOL_STEP]) == int64_t(p.step) &&
           store_number(row[POOL_LAST]) == int64_t(p.last);
}

bool pool_row(store *t, const std::string &name, bool lock, store_rows *r)
{
    const std::string sql = "SELECT kind, start, step, last, next, list_count, list_crc FROM pools "
                            "WHERE name = $1";
    return store_exec(t, lock ? sql + t->b->for_update : sql, {store_text(name)}, r);
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
        if (!store_exec(t, sql, params))
            return false;
    }
    return true;
}

// Whoever defines the pool first also puts in its list; the others find it.
bool pool_define(store *t, const store_pool &p)
{
    store_rows r;
    std::string now;
    const bool ok =
        store_time(t, &now) &&
        store_exec(t,
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
    if (!store_exec(t, "SELECT value FROM serials WHERE pool = $1 ORDER BY position",
                    {store_text(p.name)}, &r))
        return false;
    for (size_t k = 0; k < std::min(r.rows.size(), p.values.size()); ++k)
        if (store_number(r.rows[k][0]) != int64_t(p.values[k])) {
            *text = "; they differ first at position " + std::to_string(k + 1) + ": " +
                    *r.rows[k][0] + " held, " + std::to_string(p.values[k]) + " given";
            return true;
        }
    return true;
}

line_status pool_mismatch(store *t, const store_row &row, const store_pool &p, std::string *why)
{
    std::string difference;
    if (p.list && *row[POOL_KIND] == "list" && !list_difference(t, p, &difference))
        return LINE_AWAY;
    *why = "the pool " + store_quoted(p.name) + " is " + pool_text(row) + ", not " + pool_text(p) +
           difference;
    return LINE_REFUSED;
}

std::string pool_exhausted(const std::string &name, const store_row &row)
{
    return "the pool " + store_quoted(name) + " has nothing left to hand out: " + pool_text(row) +
           ", every number taken and none given back";
}

// The lowest free number given back or put in by a list, if any.
bool pool_free(store *t, const std::string &name, store_rows *r)
{
    return store_exec(
        t,
        "SELECT value FROM serials WHERE pool = $1 AND state = 'free' ORDER BY position "
        "LIMIT 1",
        {store_text(name)}, r);
}

line_status pool_check_body(store *t, const store_pool &p, std::string *why)
{
    store_rows r, f;
    if (!pool_row(t, p.name, false, &r))
        return LINE_AWAY;
    if (r.rows.empty() && !(pool_define(t, p) && pool_row(t, p.name, false, &r)))
        return LINE_AWAY;
    const store_row row = r.rows.at(0);
    if (!pool_same(row, p))
        return pool_mismatch(t, row, p, why);
    if (row[POOL_NEXT])
        return LINE_OK;
    if (!pool_free(t, p.name, &f))
        return LINE_AWAY;
    if (!f.rows.empty())
        return LINE_OK;
    *why = pool_exhausted(p.name, row);
    return LINE_EXHAUSTED;
}

bool reserve_free(store *t, const std::string &pool, int64_t value, const store_who &w,
                  const std::string &now)
{
    return store_exec(
        t,
        "UPDATE serials SET state = 'reserved', run = $3, host = $4, pid = $5, port = $6, "
        "usb_serial = $7, usb_location = $8, reserved_at = $9, seen_at = $9, ended_at = NULL "
        "WHERE pool = $1 AND value = $2",
        {store_text(pool), store_int(value), store_text_or_null(w.run_id),
         store_text_or_null(w.host), store_int(w.pid), store_text_or_null(w.port),
         store_text_or_null(w.usb_serial), store_text_or_null(w.usb_location), store_text(now)});
}

// The range's next value; the one after it, or none once past the last.
bool reserve_next(store *t, const std::string &pool, const store_row &row, const store_who &w,
                  const std::string &now)
{
    const uint64_t value = uint64_t(store_number(row[POOL_NEXT])),
                   step = uint64_t(store_number(row[POOL_STEP]));
    const uint64_t start = uint64_t(store_number(row[POOL_START])),
                   last = uint64_t(store_number(row[POOL_LAST]));
    const store_param next = last - value >= step ? store_int(int64_t(value + step)) : store_null();
    return store_exec(
               t,
               "INSERT INTO serials (pool, value, position, state, run, host, pid, port, "
               "usb_serial, usb_location, reserved_at, seen_at) VALUES ($1, $2, $3, 'reserved', "
               "$4, $5, $6, $7, $8, $9, $10, $10)",
               {store_text(pool), store_int(int64_t(value)),
                store_int(int64_t((value - start) / step)), store_text_or_null(w.run_id),
                store_text_or_null(w.host), store_int(w.pid), store_text_or_null(w.port),
                store_text_or_null(w.usb_serial), store_text_or_null(w.usb_location),
                store_text(now)}) &&
           store_exec(t, "UPDATE pools SET next = $2 WHERE name = $1", {store_text(pool), next});
}

line_status reserve_body(store *t, const std::string &pool, const store_who &w, uint64_t *value,
                         std::string *why)
{
    store_rows r, f;
    if (!pool_row(t, pool, true, &r) || !pool_free(t, pool, &f))
        return LINE_AWAY;
    if (r.rows.empty()) {
        *why = "no pool " + store_quoted(pool) + " is defined";
        return LINE_REFUSED;
    }
    std::string now;
    if (!store_time(t, &now))
        return LINE_AWAY;
    const store_row &row = r.rows[0];
    int64_t v = 0;
    if (!f.rows.empty()) {
        v = store_number(f.rows[0][0]);
        if (!reserve_free(t, pool, v, w, now))
            return LINE_AWAY;
    } else if (row[POOL_NEXT]) {
        v = store_number(row[POOL_NEXT]);
        if (!reserve_next(t, pool, row, w, now))
            return LINE_AWAY;
    } else {
        *why = pool_exhausted(pool, row);
        return LINE_EXHAUSTED;
    }
    if (!store_event(t, pool, v, "reserved", now, w))
        return LINE_AWAY;
    *value = uint64_t(v);
    return LINE_OK;
}

} // namespace

line_status store_pool_check(store *t, const store_pool &pool, std::string *why)
{
    const std::string invalid = pool_invalid(pool);
    if (!invalid.empty()) {
        *why = "the pool " + store_quoted(pool.name) + ": " + invalid;
        return LINE_REFUSED;
    }
    return store_txn(
        t, [&](std::string *w) { return pool_check_body(t, pool, w); }, why);
}

line_status store_reserve(store *t, const std::string &pool, const store_who &who, uint64_t *value,
                          std::string *why)
{
    return store_txn(
        t, [&](std::string *w) { return reserve_body(t, pool, who, value, w); }, why);
}
