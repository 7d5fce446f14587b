// What a station keeps of itself besides its records: each bay's
// insertions across shifts, and the audit trail of what was done to it.
#include "app/database/store_txn.h"

line_status store_bays_load(store *t, const std::string &station,
                            std::vector<std::pair<std::string, int64_t>> *out, std::string *why)
{
    return store_txn(
        t,
        [&](std::string *) {
            store_rows r;
            if (!store_exec(t, "SELECT slot, insertions FROM bays WHERE station = $1",
                            {store_text(station)}, &r))
                return LINE_AWAY;
            out->clear();
            for (const store_row &row : r.rows)
                out->emplace_back(row.at(0).value_or(""), store_number(row.at(1)));
            return LINE_OK;
        },
        why);
}

// Added, not set: stations of one name sharing the database count together.
line_status store_bays_add(store *t, const std::string &station, const std::string &slot,
                           int64_t more, std::string *why)
{
    return store_txn(
        t,
        [&](std::string *) {
            return store_exec(t,
                              "INSERT INTO bays (station, slot, insertions) VALUES ($1, $2, $3) "
                              "ON CONFLICT (station, slot) DO UPDATE SET insertions = "
                              "bays.insertions + excluded.insertions",
                              {store_text(station), store_text(slot), store_int(more)})
                       ? LINE_OK
                       : LINE_AWAY;
        },
        why);
}

line_status store_audit(store *t, const store_audit_row &a, std::string *why)
{
    return store_txn(
        t,
        [&](std::string *) {
            return store_exec(t,
                              "INSERT INTO audit (time, station, event, slot, viewer, detail) "
                              "VALUES ($1, $2, $3, $4, $5, $6)",
                              {store_text(a.time), store_text(a.station), store_text(a.event),
                               store_text_or_null(a.slot), store_text_or_null(a.viewer),
                               store_text_or_null(a.detail)})
                       ? LINE_OK
                       : LINE_AWAY;
        },
        why);
}
