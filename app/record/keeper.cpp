#include "app/record/keeper.h"

#include "app/record/spool.h"
#include "platform/process.h"
#include "platform/tick.h"

#include <algorithm>
#include <cstdio>

namespace {

// Whether the database has the record now. One whose serial the ledger
// cannot follow is kept there all the same, and said.
bool db_takes(keeper *t, const record_row *row, const std::string &json)
{
    const line_status s =
        row ? store_finish(t->db, *row, json, &t->db_why) : store_finish(t->db, json, &t->db_why);
    if (s == LINE_REFUSED)
        std::fprintf(stderr,
                     "zmk-cli: the database %s keeps a record its ledger cannot follow: %s\n",
                     t->db_name.c_str(), t->db_why.c_str());
    return s != LINE_AWAY;
}

bool log_takes(keeper *t, const std::string &json)
{
    return record_log_append(t->log, json, &t->log_why) == LINE_OK;
}

// Into the database, else onto the spool; false with `refused` when neither
// took it.
bool to_db(keeper *t, keeper_entry *e, bool first, keeper_kept *out, std::string *refused)
{
    if (first && db_takes(t, &e->rec.row, e->rec.json))
        return true;
    e->db_waits = true;
    std::string spool_why;
    e->in_spool = out->spooled = spool_append(t->spool, e->rec.json, &spool_why) == LINE_OK;
    if (!out->spooled)
        *refused = t->db_why + "; " + spool_why;
    return out->spooled;
}

// Where a record not kept is, and where not; each refusal with its reason.
std::string not_kept_words(const keeper *t, const std::string &log_refused,
                           const std::string &db_refused, bool spooled)
{
    const std::string db = "the database " + t->db_name;
    if (!log_refused.empty() && t->db && db_refused.empty())
        return (spooled ? "its record is in the spool " + t->spool + " for " + db
                        : "its record is in " + db) +
               ", not in " + log_refused;
    if (log_refused.empty() && !t->log.empty())
        return "its record is in " + t->log + ", neither in " + db + " nor in its spool (" +
               db_refused + ")";
    std::string words = "its record was not kept: ";
    if (!log_refused.empty())
        words += "cannot write " + log_refused + (db_refused.empty() ? "" : "; ");
    if (!db_refused.empty())
        words += "neither " + db + " nor its spool takes it (" + db_refused + ")";
    return words;
}

bool audit_db_takes(keeper *t, const audit &a)
{
    std::string why;
    return store_audit(t->db, a.row, &why) != LINE_AWAY;
}

// After the records, and only to the stores that took all of them: the
// trail keeps its place in the log, and a store away is asked once a round.
void flush_audits(keeper *t, bool log_open, bool db_open)
{
    for (keeper_audit_entry &e : t->audits) {
        if (e.log_waits && log_open)
            e.log_waits = !(log_open = log_takes(t, e.line.json));
        if (e.db_waits && db_open)
            e.db_waits = !(db_open = audit_db_takes(t, e.line));
    }
    std::erase_if(t->audits,
                  [](const keeper_audit_entry &e) { return !e.log_waits && !e.db_waits; });
}

// What of the audit trail no store took is shown at the end, as written.
void report_audits(const keeper *t)
{
    if (t->audits.empty())
        return;
    std::string stores;
    for (const keeper_audit_entry &e : t->audits) {
        if (e.log_waits && stores.find(t->log) == stores.npos)
            stores += (stores.empty() ? "" : ", nor to ") + t->log;
        if (e.db_waits && stores.find("the database") == stores.npos)
            stores += (stores.empty() ? "" : ", nor to ") + ("the database " + t->db_name);
    }
    std::fprintf(stderr,
                 "zmk-cli: %zu line%s of the audit trail could not be written to %s; here as "
                 "written:\n",
                 t->audits.size(), t->audits.size() == 1 ? "" : "s", stores.c_str());
    for (const keeper_audit_entry &e : t->audits)
        std::fprintf(stderr, "%s\n", e.line.json.c_str());
}

} // namespace

void keeper_init(keeper *t, const std::string &log, store *db, const std::string &db_name)
{
    *t = keeper{};
    t->log = log;
    t->db = db;
    t->db_name = db_name;
    if (!db)
        return;
    t->spool = spool_path(db_name, proc_self_id());
    spool_adopt(db_name, proc_self_id(),
                [t](const std::string &json) { return db_takes(t, nullptr, json); });
}

keeper_kept keeper_keep(keeper *t, const record &r)
{
    // The log's waiting records go first; the database is asked again at
    // most once a second, so that a locked one delays no device.
    keeper_flush(t, keeper_log_waits(t));
    keeper_entry e{r};
    keeper_kept out;
    std::string log_refused, db_refused;
    // A record goes after those still waiting for the same store.
    if (!t->log.empty() && (keeper_log_waits(t) || !log_takes(t, r.json))) {
        e.log_waits = true;
        log_refused = t->log + " (" + t->log_why + ")";
    }
    if (t->db && !to_db(t, &e, !keeper_db_waits(t), &out, &db_refused))
        out.kept = false;
    out.kept = out.kept && log_refused.empty();
    out.why = out.kept ? (out.spooled ? t->db_why : "")
                       : not_kept_words(t, log_refused, db_refused, out.spooled);
    if (e.log_waits || e.db_waits)
        t->waiting.push_back(std::move(e));
    return out;
}

void keeper_audit(keeper *t, const audit &a)
{
    keeper_audit_entry e{a};
    e.log_waits =
        !t->log.empty() && (keeper_log_waits(t) || !t->audits.empty() || !log_takes(t, a.json));
    e.db_waits = t->db && (keeper_db_waits(t) || !t->audits.empty() || !audit_db_takes(t, a));
    if (e.log_waits || e.db_waits)
        t->audits.push_back(std::move(e));
}

bool keeper_flush(keeper *t, bool now)
{
    const uint32_t tick = platform_tick_ms();
    if ((t->waiting.empty() && t->audits.empty()) || (!now && int32_t(tick - t->retry_ms) < 0))
        return t->waiting.empty();
    t->retry_ms = tick + 1000;
    bool log_open = true, db_open = true; // stop at a store's first refusal: order
    for (keeper_entry &e : t->waiting) {
        if (e.log_waits && log_open)
            e.log_waits = !(log_open = log_takes(t, e.rec.json));
        if (e.db_waits && db_open)
            e.db_waits = !(db_open = db_takes(t, &e.rec.row, e.rec.json));
    }
    std::erase_if(t->waiting, [](const keeper_entry &e) { return !e.log_waits && !e.db_waits; });
    flush_audits(t, log_open, db_open);
    if (t->db && !keeper_db_waits(t))
        spool_remove(t->spool); // every line of it is in the database now
    return t->waiting.empty();
}

bool keeper_log_waits(const keeper *t)
{
    return std::any_of(t->waiting.begin(), t->waiting.end(),
                       [](const keeper_entry &e) { return e.log_waits; });
}

bool keeper_db_waits(const keeper *t)
{
    return std::any_of(t->waiting.begin(), t->waiting.end(),
                       [](const keeper_entry &e) { return e.db_waits; });
}

void keeper_report(keeper *t)
{
    const bool none_waits = keeper_flush(t, true);
    report_audits(t);
    if (none_waits)
        return;
    const auto count = [t](const auto &which) {
        return long(std::count_if(t->waiting.begin(), t->waiting.end(), which));
    };
    if (const long n = count([](const keeper_entry &e) { return e.db_waits && e.in_spool; }))
        std::fprintf(stderr,
                     "zmk-cli: %ld record%s wait in %s for the database %s; the next run on "
                     "this station writes them\n",
                     n, n == 1 ? "" : "s", t->spool.c_str(), t->db_name.c_str());
    // What waits on disk nowhere is shown, so that no record is lost unseen.
    const auto unsaved = [](const keeper_entry &e) {
        return e.log_waits || (e.db_waits && !e.in_spool);
    };
    const long n = count(unsaved);
    if (n == 0)
        return;
    std::string stores;
    if (count([](const keeper_entry &e) { return e.log_waits; }))
        stores = t->log;
    if (count([](const keeper_entry &e) { return e.db_waits && !e.in_spool; }))
        stores +=
            (stores.empty() ? "" : ", nor to ") + ("the database " + t->db_name) + " or its spool";
    std::fprintf(stderr, "zmk-cli: %ld record%s could not be written to %s; here as written:\n", n,
                 n == 1 ? "" : "s", stores.c_str());
    for (const keeper_entry &e : t->waiting)
        if (unsaved(e))
            std::fprintf(stderr, "%s\n", e.rec.json.c_str());
}
