// The records of device runs: each run's record kept once, the ledger
// following the serial it carries, and the day's totals.
#include "app/database/record_columns.h"
#include "app/database/store_txn.h"

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
    store_who who;                   // the device at its end (pid: the reserver's, from the ledger)
    bool serial = false;             // the record carries a serial number
    std::string pool, state;
    int64_t value = 0;
    std::string unfollowable; // why the ledger cannot follow the serial; "" when it can
};

std::string text_of(const record_row &row, record_field field)
{
    return row[field].kind == store_param::TEXT ? row[field].s : "";
}

void finish_read(const record_row &row, const std::string &line, finish_input *f)
{
    for (int k = 0; k < REC_FIELDS; ++k)
        if (record_columns()[k].column)
            f->params.push_back(row[k]);
    f->params.push_back(store_text(line));
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
    if (!store_exec(
            t,
            std::string("SELECT state, run, pid FROM serials WHERE pool = $1 AND value = $2") +
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
    std::string now;
    f.who.pid = store_number(r.rows[0][2]);
    const bool ok =
        store_time(t, &now) &&
        store_exec(t, "UPDATE serials SET state = $3, ended_at = $4 WHERE pool = $1 AND value = $2",
                   {store_text(f.pool), store_int(f.value), store_text(finish_state(held, f.state)),
                    store_text(now)}) &&
        store_event(t, f.pool, f.value, f.state.c_str(), now, f.who);
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
