// The records of device runs: each run's record kept once, the ledger
// following the serial it carries (its history in serial_events), and the
// day's totals.
#include "app/database/record_columns.h"
#include "app/database/store_txn.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

std::string record_insert_sql()
{
    std::string names, values;
    int n = 0;
    for (int k = 0; k < REC_FIELDS; ++k)
        if (record_columns()[k].column) {
            names.append(record_columns()[k].column).append(", ");
            values.append("$").append(std::to_string(++n)).append(", ");
        }
    return "INSERT INTO records (" + names + "record) VALUES (" + values + "$" +
           std::to_string(n + 1) + ") ON CONFLICT (run) DO NOTHING";
}

struct finish_input {
    std::vector<store_param> params; // the records row
    store_who who;       // the device at its end (pid, machine: the reserver's, from the ledger)
    bool serial = false; // the record carries a serial number
    std::string pool, state;
    int64_t value = 0;
    std::string unfollowable; // why the ledger cannot follow the serial; "" when it can
    std::string ended;        // when the device's run ended; "" when the record does not say
};

std::string text_of(const record_row &row, record_field field)
{
    return row[field].kind == store_param::TEXT ? row[field].s : "";
}

// "2026-12-07T15:00:00Z" (a fraction and "+00:00" taken too) as seconds since
// 1970; false for anything else.
bool utc_seconds(const std::string &text, double *out)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, n = 0;
    double sec = 0;
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%n", &y, &mo, &d, &h, &mi, &sec, &n) != 6)
        return false;
    const char *zone = text.c_str() + n;
    if (std::strcmp(zone, "Z") != 0 && std::strcmp(zone, "+00:00") != 0)
        return false;
    using namespace std::chrono;
    const year_month_day date{year(y), month(unsigned(mo)), day(unsigned(d))};
    if (!date.ok() || h < 0 || h > 23 || mi < 0 || mi > 59 || !(sec >= 0 && sec < 61))
        return false;
    *out = double(sys_days(date).time_since_epoch().count()) * 86400 + h * 3600 + mi * 60 + sec;
    return true;
}

std::string utc_text(int64_t seconds)
{
    using namespace std::chrono;
    const sys_seconds at{std::chrono::seconds(seconds)};
    const auto day = floor<days>(at);
    const year_month_day ymd{day};
    const hh_mm_ss hms{at - day};
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(ymd.year()),
                  unsigned(ymd.month()), unsigned(ymd.day()), int(hms.hours().count()),
                  int(hms.minutes().count()), int(hms.seconds().count()));
    return out;
}

// The device's own end: the run's start plus how long it ran, to the nearest
// second (the start is whole seconds, cut), so that a record written back
// later still tells when its number was used. "" without a start.
std::string end_of(const record_row &row)
{
    double start = 0;
    if (!utc_seconds(text_of(row, REC_TIME), &start))
        return "";
    const double ran = row[REC_SECONDS].kind == store_param::REAL ? row[REC_SECONDS].r : 0;
    const double end = std::floor(start + (ran >= 0 && ran < 1e9 ? ran : 0) + 0.5);
    return end < 253402300800.0 ? utc_text(int64_t(end)) : ""; // before the year 10000
}

void finish_read(const record_row &row, const std::string &line, finish_input *f)
{
    for (int k = 0; k < REC_FIELDS; ++k)
        if (record_columns()[k].column)
            f->params.push_back(row[k]);
    f->params.push_back(store_text(line));
    f->ended = end_of(row);
    f->who = store_who{
        text_of(row, REC_RUN),  text_of(row, REC_HOST),       0,
        text_of(row, REC_PORT), text_of(row, REC_USB_SERIAL), text_of(row, REC_USB_LOCATION)};
    for (record_field k : {REC_SERIAL_POOL, REC_SERIAL_VALUE, REC_SERIAL_BYTES, REC_SERIAL_STATE})
        f->serial = f->serial || row[k].kind != store_param::NUL;
    if (!f->serial)
        return;
    f->pool = text_of(row, REC_SERIAL_POOL);
    f->state = text_of(row, REC_SERIAL_STATE);
    f->value = row[REC_SERIAL_VALUE].i;
    if (f->pool.empty() || row[REC_SERIAL_VALUE].kind != store_param::INT)
        f->unfollowable =
            "its serial has no pool or no value from 0 to " + std::to_string(INT64_MAX);
    else if (f->state != "used" && f->state != "spoiled" && f->state != "returned")
        f->unfollowable = "its serial's state is " + store_quoted(f->state) +
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

line_status finish_serial(store *t, finish_input f, std::string *why)
{
    store_rows r;
    const std::string what = "the record of run " + store_quoted(f.who.run_id) +
                             " is kept; its serial " + f.pool + " " + std::to_string(f.value);
    if (!store_exec(t,
                    std::string("SELECT state, run, pid, machine FROM serials WHERE pool = $1 "
                                "AND value = $2") +
                        t->b->for_update,
                    {store_text(f.pool), store_int(f.value)}, &r))
        return LINE_AWAY;
    if (r.rows.empty()) {
        *why = what + " was never handed out by this database; the ledger is left as it is";
        return LINE_REFUSED;
    }
    const std::string held = *r.rows[0][0], holder = r.rows[0][1].value_or("");
    if (holder != f.who.run_id || (held != "reserved" && held != "spoiled")) {
        *why = what + " is " + held + (holder.empty() ? "" : " by run " + store_quoted(holder)) +
               " in the ledger, which is left as it is";
        return LINE_REFUSED;
    }
    f.who.pid = store_number(r.rows[0][2]);
    f.who.machine = r.rows[0][3].value_or("");
    std::string end = f.ended;
    const bool ok =
        (!end.empty() || store_time(t, &end)) &&
        store_exec(t, "UPDATE serials SET state = $3, ended_at = $4 WHERE pool = $1 AND value = $2",
                   {store_text(f.pool), store_int(f.value), store_text(finish_state(held, f.state)),
                    store_text(end)}) &&
        store_serial_event(t, f.pool, f.value, f.state.c_str(), end, f.who);
    return ok ? LINE_OK : LINE_AWAY;
}

line_status finish_body(store *t, const finish_input &f, std::string *why)
{
    store_rows r;
    if (!store_exec(t, record_insert_sql(), f.params, &r))
        return LINE_AWAY;
    if (r.changed == 0 || !f.serial)
        return LINE_OK; // kept before, or nothing for the ledger
    if (!f.unfollowable.empty()) {
        *why = "the record of run " + store_quoted(f.who.run_id) +
               " is kept, the ledger left as it is: " + f.unfollowable;
        return LINE_REFUSED;
    }
    return finish_serial(t, f, why);
}

} // namespace

bool store_serial_event(store *t, const std::string &pool, int64_t value, const char *event,
                        const std::string &time, const store_who &w)
{
    return store_exec(
        t,
        "INSERT INTO serial_events (pool, value, event, time, host, pid, port, usb_serial, "
        "usb_location, run, machine) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)",
        {store_text(pool), store_int(value), store_text(event), store_text(time),
         store_text_or_null(w.host), store_int(w.pid), store_text_or_null(w.port),
         store_text_or_null(w.usb_serial), store_text_or_null(w.usb_location),
         store_text_or_null(w.run_id), store_text_or_null(w.machine)});
}

line_status store_finish(store *t, const record_row &row, const std::string &record_json,
                         std::string *why)
{
    finish_input f;
    finish_read(row, record_json, &f);
    return store_txn(
        t, [&](std::string *w) { return finish_body(t, f, w); }, why);
}

line_status store_finish(store *t, const std::string &record_json, std::string *why)
{
    record_row row;
    if (!record_row_parse(record_json, &row)) {
        *why = "not kept: the record is no JSON object: " + record_json.substr(0, 80);
        return LINE_REFUSED;
    }
    return store_finish(t, row, record_json, why);
}

line_status store_totals(store *t, const std::string &since, int64_t *runs, int64_t *ok,
                         std::string *why)
{
    return store_txn(
        t,
        [&](std::string *) {
            store_rows r;
            if (!store_exec(
                    t,
                    "SELECT COUNT(*), SUM(CASE WHEN result = 'ok' THEN 1 ELSE 0 END) FROM records "
                    "WHERE time >= $1",
                    {store_text(since)}, &r))
                return LINE_AWAY;
            *runs = store_number(r.rows.at(0).at(0));
            *ok = store_number(r.rows.at(0).at(1));
            return LINE_OK;
        },
        why);
}
