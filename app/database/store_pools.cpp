// Pools: a range or a list defined once by whoever comes first, and the
// next number handed out of one.
#include "app/database/store_txn.h"
#include "framework/bytes.h"

#include <algorithm>
#include <cstdio>

namespace {

// pools row: kind, start, step, last, next, list_count, list_crc, at, format
enum {
    POOL_KIND,
    POOL_START,
    POOL_STEP,
    POOL_LAST,
    POOL_NEXT,
    POOL_COUNT,
    POOL_CRC,
    POOL_AT,
    POOL_FORMAT
};

std::string pool_invalid(const store_pool &p)
{
    const std::string top = std::to_string(INT64_MAX);
    if (p.name.empty())
        return "a pool needs a name";
    if (!p.numbers)
        return "";
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

std::string place_text(uint64_t at, const std::string &format)
{
    char text[64];
    std::snprintf(text, sizeof text, " at 0x%llx", static_cast<unsigned long long>(at));
    return format + text;
}

bool numbers_same(const store_row &row, const store_pool &p)
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
    const std::string sql = "SELECT kind, start, step, last, next, list_count, list_crc, at, "
                            "format FROM pools WHERE name = $1";
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
                   "list_crc, created, at, format) VALUES ($1, $2, $3, $4, $5, $3, $6, $7, $8, "
                   "$9, $10) ON CONFLICT (name) DO NOTHING",
                   {store_text(p.name), store_text(p.list ? "list" : "range"),
                    p.list ? store_null() : store_int(int64_t(p.start)),
                    p.list ? store_null() : store_int(int64_t(p.step)),
                    p.list ? store_null() : store_int(int64_t(p.last)),
                    p.list ? store_int(int64_t(p.values.size())) : store_null(),
                    p.list ? store_text(list_crc(p.values)) : store_null(), store_text(now),
                    p.placed ? store_int(int64_t(p.at)) : store_null(),
                    p.placed ? store_text(p.format) : store_null()},
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
    const bool same_words = pool_text(row) == pool_text(p);
    *why = "the pool " + store_quoted(p.name) + " is " + pool_text(row) +
           (same_words ? ", another list than the one given" : ", not " + pool_text(p)) +
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

// The pool's whole definition from its row (a list's values are not read).
void pool_held(const store_row &row, const std::string &name, store_pool *out)
{
    *out = store_pool{};
    out->name = name;
    out->list = *row[POOL_KIND] == "list";
    out->start = uint64_t(store_number(row[POOL_START]));
    out->step = uint64_t(store_number(row[POOL_STEP]));
    out->last = uint64_t(store_number(row[POOL_LAST]));
    out->placed = row[POOL_AT] && row[POOL_FORMAT];
    out->at = uint64_t(store_number(row[POOL_AT]));
    out->format = row[POOL_FORMAT].value_or("");
}

// The place given against the place held; a pool made before it kept one
// takes the place given.
line_status place_check(store *t, const store_row &row, const store_pool &p, std::string *why)
{
    const bool held = row[POOL_AT] && row[POOL_FORMAT];
    if (held && p.placed &&
        (store_number(row[POOL_AT]) != int64_t(p.at) || *row[POOL_FORMAT] != p.format)) {
        *why = "the pool " + store_quoted(p.name) + " writes its numbers as " +
               place_text(uint64_t(store_number(row[POOL_AT])), *row[POOL_FORMAT]) + ", not " +
               place_text(p.at, p.format);
        return LINE_REFUSED;
    }
    if (held || !p.placed)
        return LINE_OK;
    return store_exec(t, "UPDATE pools SET at = $2, format = $3 WHERE name = $1",
                      {store_text(p.name), store_int(int64_t(p.at)), store_text(p.format)})
               ? LINE_OK
               : LINE_AWAY;
}

line_status pool_left_body(store *t, const std::string &name, const store_row &row, uint64_t *next,
                           uint64_t *left);

// What is given against the pool's row: its numbers, its place; then
// whether anything is left.
line_status pool_check_row(store *t, const store_row &row, const store_pool &p, std::string *why)
{
    if (p.numbers && !numbers_same(row, p))
        return pool_mismatch(t, row, p, why);
    if (const line_status s = place_check(t, row, p, why))
        return s;
    uint64_t next = 0, left = 0;
    if (const line_status s = pool_left_body(t, p.name, row, &next, &left))
        return s;
    if (left > 0)
        return LINE_OK;
    *why = pool_exhausted(p.name, row);
    return LINE_EXHAUSTED;
}

line_status pool_left_body(store *t, const std::string &name, const store_row &row, uint64_t *next,
                           uint64_t *left)
{
    store_rows f, n;
    if (!pool_free(t, name, &f) ||
        !store_exec(t, "SELECT COUNT(*) FROM serials WHERE pool = $1 AND state = 'free'",
                    {store_text(name)}, &n))
        return LINE_AWAY;
    *left = uint64_t(store_number(n.rows.at(0).at(0)));
    const bool more = *row[POOL_KIND] == "range" && row[POOL_NEXT];
    const uint64_t step = uint64_t(std::max<int64_t>(store_number(row[POOL_STEP]), 1));
    const uint64_t from = uint64_t(store_number(row[POOL_NEXT]));
    if (more)
        *left += (uint64_t(store_number(row[POOL_LAST])) - from) / step + 1;
    *next = !f.rows.empty() ? uint64_t(store_number(f.rows[0][0])) : more ? from : 0;
    return LINE_OK;
}

// The lowest and highest number a pool given hands out.
void given_bounds(const store_pool &p, uint64_t *lo, uint64_t *hi)
{
    *lo = p.list ? *std::min_element(p.values.begin(), p.values.end()) : p.start;
    *hi = p.list ? *std::max_element(p.values.begin(), p.values.end()) : p.last;
}

// Whether the pool given shares a number with the pool `other` (row `o`).
line_status shares(store *t, const store_pool &p, const std::string &other, const store_row &o,
                   bool *found)
{
    uint64_t lo = 0, hi = 0;
    given_bounds(p, &lo, &hi);
    if (*o[POOL_KIND] == "range") {
        const uint64_t s = uint64_t(store_number(o[POOL_START])),
                       l = uint64_t(store_number(o[POOL_LAST]));
        *found = p.list ? std::any_of(p.values.begin(), p.values.end(),
                                      [&](uint64_t v) { return v >= s && v <= l; })
                        : lo <= l && s <= hi;
        return LINE_OK;
    }
    store_rows r;
    if (!store_exec(t, "SELECT value FROM serials WHERE pool = $1 AND value BETWEEN $2 AND $3",
                    {store_text(other), store_int(int64_t(lo)), store_int(int64_t(hi))}, &r))
        return LINE_AWAY;
    *found = !p.list ? !r.rows.empty()
                     : std::any_of(r.rows.begin(), r.rows.end(), [&](const store_row &v) {
                           return std::find(p.values.begin(), p.values.end(),
                                            uint64_t(store_number(v[0]))) != p.values.end();
                       });
    return LINE_OK;
}

// Another pool written at the same place (or at a place not kept) that hands
// out one of the new pool's numbers.
line_status overlap_check(store *t, const store_pool &p, std::string *why)
{
    store_rows r;
    if (!store_exec(t,
                    "SELECT kind, start, step, last, next, list_count, list_crc, at, format, name "
                    "FROM pools WHERE name <> $1 AND (at IS NULL OR format IS NULL OR (at = $2 "
                    "AND format = $3)) ORDER BY name",
                    {store_text(p.name), store_int(int64_t(p.at)), store_text(p.format)}, &r))
        return LINE_AWAY;
    for (const store_row &o : r.rows) {
        bool found = false;
        if (shares(t, p, *o[9], o, &found) != LINE_OK)
            return LINE_AWAY;
        if (!found)
            continue;
        *why = "the new pool " + store_quoted(p.name) + " (" + pool_text(p) +
               ") would hand out numbers that the pool " + store_quoted(*o[9]) + " (" +
               pool_text(o) +
               ") written at the same place hands out too: give --allow-overlap "
               "if two devices may carry one number";
        return LINE_REFUSED;
    }
    return LINE_OK;
}

// "no pool "sensr"; the pools here: default, sensor"
line_status pool_missing(store *t, const std::string &name, std::string *why)
{
    store_rows r;
    if (!store_exec(t, "SELECT name FROM pools ORDER BY name", {}, &r))
        return LINE_AWAY;
    std::string names;
    for (const store_row &row : r.rows)
        names += (names.empty() ? "" : ", ") + *row[0];
    *why = "no pool " + store_quoted(name) +
           (names.empty() ? " and no other pool" : "; the pools here: " + names) +
           "; give --new-pool to start a new one";
    return LINE_REFUSED;
}

line_status pool_create(store *t, const store_pool &p, store_pool_mode mode, bool allow_overlap,
                        std::string *why)
{
    if (mode == STORE_POOL_EXISTING)
        return pool_missing(t, p.name, why);
    if (!p.numbers || (mode == STORE_POOL_NEW && !p.placed)) {
        *why = "a new pool " + store_quoted(p.name) +
               " needs its whole definition: where its number goes (--serial-at, "
               "--serial-format) and its numbers (--serial-start or --serial-list)";
        return LINE_REFUSED;
    }
    if (mode == STORE_POOL_NEW && !allow_overlap)
        if (const line_status s = overlap_check(t, p, why))
            return s;
    return pool_define(t, p) ? LINE_OK : LINE_AWAY;
}

line_status pool_open_body(store *t, const store_pool &p, store_pool_mode mode, bool allow_overlap,
                           store_pool *held, std::string *why)
{
    store_rows r;
    if (!pool_row(t, p.name, true, &r))
        return LINE_AWAY;
    const bool made = r.rows.empty();
    if (made) {
        if (const line_status s = pool_create(t, p, mode, allow_overlap, why))
            return s;
        if (!pool_row(t, p.name, true, &r))
            return LINE_AWAY;
    } else if (mode == STORE_POOL_NEW) {
        *why = "the pool " + store_quoted(p.name) + " is there already (" + pool_text(r.rows[0]) +
               "): leave out --new-pool to go on with it";
        return LINE_REFUSED;
    }
    const store_row row = r.rows.at(0);
    if (held)
        pool_held(row, p.name, held);
    if (const line_status s = pool_check_row(t, row, p, why))
        return s;
    if (held && !held->placed && p.placed) // taken just now
        held->placed = true, held->at = p.at, held->format = p.format;
    if (mode == STORE_POOL_DEFINE || row[POOL_AT] || p.placed)
        return LINE_OK;
    *why = "the pool " + store_quoted(p.name) +
           " does not say yet where its number goes: give --serial-at and --serial-format once";
    return LINE_REFUSED;
}

bool reserve_free(store *t, const std::string &pool, int64_t value, const store_who &w,
                  const std::string &now)
{
    return store_exec(
        t,
        "UPDATE serials SET state = 'reserved', run = $3, host = $4, pid = $5, port = $6, "
        "usb_serial = $7, usb_location = $8, reserved_at = $9, seen_at = $9, ended_at = NULL, "
        "at = (SELECT at FROM pools WHERE name = $1), format = (SELECT format FROM pools WHERE "
        "name = $1), machine = $10 WHERE pool = $1 AND value = $2",
        {store_text(pool), store_int(value), store_text_or_null(w.run_id),
         store_text_or_null(w.host), store_int(w.pid), store_text_or_null(w.port),
         store_text_or_null(w.usb_serial), store_text_or_null(w.usb_location), store_text(now),
         store_text_or_null(w.machine)});
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
               "usb_serial, usb_location, reserved_at, seen_at, at, format, machine) VALUES ($1, "
               "$2, $3, 'reserved', $4, $5, $6, $7, $8, $9, $10, $10, $11, $12, $13)",
               {store_text(pool), store_int(int64_t(value)),
                store_int(int64_t((value - start) / step)), store_text_or_null(w.run_id),
                store_text_or_null(w.host), store_int(w.pid), store_text_or_null(w.port),
                store_text_or_null(w.usb_serial), store_text_or_null(w.usb_location),
                store_text(now),
                row[POOL_AT] ? store_int(store_number(row[POOL_AT])) : store_null(),
                row[POOL_FORMAT] ? store_text(*row[POOL_FORMAT]) : store_null(),
                store_text_or_null(w.machine)}) &&
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
    if (!store_serial_event(t, pool, v, "reserved", now, w))
        return LINE_AWAY;
    *value = uint64_t(v);
    return LINE_OK;
}

} // namespace

line_status store_pool_check(store *t, const store_pool &pool, std::string *why)
{
    return store_pool_open(t, pool, STORE_POOL_DEFINE, true, nullptr, why);
}

line_status store_pool_open(store *t, const store_pool &given, store_pool_mode mode,
                            bool allow_overlap, store_pool *held, std::string *why)
{
    const std::string invalid = pool_invalid(given);
    if (!invalid.empty()) {
        *why = "the pool " + store_quoted(given.name) + ": " + invalid;
        return LINE_REFUSED;
    }
    return store_txn(
        t, [&](std::string *w) { return pool_open_body(t, given, mode, allow_overlap, held, w); },
        why);
}

line_status store_pool_left(store *t, const std::string &name, uint64_t *next, uint64_t *left,
                            std::string *why)
{
    return store_txn(
        t,
        [&](std::string *w) {
            store_rows r;
            if (!pool_row(t, name, false, &r))
                return LINE_AWAY;
            if (r.rows.empty())
                return pool_missing(t, name, w);
            return pool_left_body(t, name, r.rows[0], next, left);
        },
        why);
}

line_status store_reserve(store *t, const std::string &pool, const store_who &who, uint64_t *value,
                          std::string *why)
{
    return store_txn(
        t, [&](std::string *w) { return reserve_body(t, pool, who, value, w); }, why);
}
