// Reservations nobody will end, spoiled; and those still alive, kept fresh.
#include "app/database/store_txn.h"

#include <map>

namespace {

// serials row of an open reservation: pool, value, run, host, pid, port, usb_serial,
// usb_location, machine
const char *const open_columns = "SELECT pool, value, run, host, pid, port, usb_serial, "
                                 "usb_location, machine FROM serials WHERE state = 'reserved' "
                                 "AND ";

using open_rows = std::map<std::pair<std::string, int64_t>, store_who>;

void open_collect(const store_rows &r, open_rows *out)
{
    for (const store_row &row : r.rows)
        (*out)[{*row[0], store_number(row[1])}] = store_who{
            row[2].value_or(""), row[3].value_or(""), store_number(row[4]), row[5].value_or(""),
            row[6].value_or(""), row[7].value_or(""), row[8].value_or("")};
}

// Whose pids this process can judge ($1 the machine, $2 the station's name): a pid means
// something only on the machine it was taken on. A reservation without a machine (an older
// zmk-cli's) is judged by the station's name, as that zmk-cli did.
std::string judged(const std::string &machine)
{
    return machine.empty() ? "(machine IS NULL AND host = $2)"
                           : "(machine = $1 OR (machine IS NULL AND host = $2))";
}

// Reservations of processes gone on this machine.
bool spoil_dead(store *t, const std::string &host, const std::string &machine,
                bool (*alive)(int64_t), open_rows *found)
{
    store_rows r;
    const std::string mine = judged(machine);
    const store_param m = store_text(machine), h = store_text(host);
    if (!store_exec(t, "SELECT DISTINCT pid FROM serials WHERE state = 'reserved' AND " + mine,
                    {m, h}, &r))
        return false;
    const std::vector<store_row> pids = r.rows;
    for (const store_row &pid : pids) {
        if (alive(store_number(pid[0])))
            continue;
        if (!store_exec(t, open_columns + mine + " AND pid = $3",
                        {m, h, store_int(store_number(pid[0]))}, &r))
            return false;
        open_collect(r, found);
    }
    return true;
}

// This machine's reservations whose process is gone, and anyone's unseen for too long.
bool spoil_find(store *t, const std::string &host, const std::string &machine,
                bool (*alive)(int64_t), int stale_seconds, open_rows *found)
{
    store_rows r;
    std::string cutoff;
    if (!store_time(t, &cutoff, stale_seconds) ||
        !store_exec(t, std::string(open_columns) + "seen_at < $1", {store_text(cutoff)}, &r))
        return false;
    open_collect(r, found);
    return !alive || spoil_dead(t, host, machine, alive, found);
}

// In key order, so that two stations spoiling at once never wait on each other in a circle.
line_status spoil_body(store *t, const std::string &host, const std::string &machine,
                       bool (*alive)(int64_t), int stale_seconds, int *count)
{
    open_rows found;
    if (!spoil_find(t, host, machine, alive, stale_seconds, &found))
        return LINE_AWAY;
    std::string now;
    if (!store_time(t, &now))
        return LINE_AWAY;
    *count = 0;
    for (const auto &[key, who] : found) {
        store_rows r;
        if (!store_exec(t,
                        "UPDATE serials SET state = 'spoiled', ended_at = $3 WHERE pool = $1 AND "
                        "value = $2 AND state = 'reserved'",
                        {store_text(key.first), store_int(key.second), store_text(now)}, &r))
            return LINE_AWAY;
        if (r.changed && !store_serial_event(t, key.first, key.second, "spoiled", now, who))
            return LINE_AWAY;
        *count += int(r.changed);
    }
    return LINE_OK;
}

} // namespace

line_status store_spoil_stale(store *t, const std::string &host, const std::string &machine,
                              bool (*alive)(int64_t pid), int stale_seconds, int *count,
                              std::string *why)
{
    *count = 0;
    return store_txn(
        t, [&](std::string *) { return spoil_body(t, host, machine, alive, stale_seconds, count); },
        why);
}

line_status store_touch(store *t, const std::string &host, const std::string &machine, int64_t pid,
                        std::string *why)
{
    // Only this process's own rows: with a machine known, an older zmk-cli's
    // reservation under the same name is not this process's.
    const std::string mine = machine.empty() ? "machine IS NULL AND host = $2" : "machine = $1";
    return store_txn(
        t,
        [&](std::string *) {
            std::string now;
            return store_time(t, &now) &&
                           store_exec(t,
                                      "UPDATE serials SET seen_at = $4 WHERE state = 'reserved' "
                                      "AND pid = $3 AND " +
                                          mine,
                                      {store_text(machine), store_text(host), store_int(pid),
                                       store_text(now)})
                       ? LINE_OK
                       : LINE_AWAY;
        },
        why);
}
