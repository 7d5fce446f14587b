// The line's database over the SQL seam: connections that come back by
// themselves, one transaction per call, and the database's names.
#include "app/database/store_txn.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

store_param store_text_or_null(const std::string &s)
{
    return s.empty() ? store_null() : store_text(s);
}

int64_t store_number(const std::optional<std::string> &v)
{
    return v ? std::strtoll(v->c_str(), nullptr, 10) : 0;
}

std::string store_quoted(const std::string &s) { return "\"" + s + "\""; }

// One statement of the running transaction; its failure is kept for the
// runner, which decides between rolling back, connecting again and retrying.
bool store_exec(store *t, const std::string &sql, const std::vector<store_param> &params,
                store_rows *out)
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
bool store_time(store *t, std::string *text, int64_t ago)
{
    store_rows r;
    if (!store_exec(t, t->b->now_seconds, {}, &r))
        return false;
    using namespace std::chrono;
    const sys_seconds now{seconds(store_number(r.rows.at(0).at(0)) - ago)};
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

namespace {

void store_drop(store *t)
{
    if (t->c)
        t->b->close(t->c);
    t->c = nullptr;
}

// One attempt: begin, the body, commit. What the body decides is committed
// whatever it answers, since an answer other than LINE_OK may still have
// written (a record kept that the ledger cannot follow). `again`: nothing was
// committed and the transaction may run again.
line_status store_attempt(store *t, const store_body &body, bool *again, std::string *why)
{
    t->failed = STORE_SQL_OK;
    line_status s = LINE_AWAY;
    bool committing = false;
    if (store_exec(t, t->b->begin, {}))
        s = body(why);
    if (t->failed == STORE_SQL_OK) {
        committing = true;
        if (store_exec(t, "COMMIT", {}))
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
    return LINE_AWAY;
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
            t, [t](std::string *w) { return store_schema(t, w); }, &again, why) == LINE_OK)
        return true;
    store_drop(t);
    return false;
}

} // namespace

// The body in one transaction, run again (at most three times) when nothing
// was committed: a deadlock, or a connection lost before the commit.
line_status store_txn(store *t, const store_body &body, std::string *why)
{
    for (int attempt = 1;; ++attempt) {
        if (!store_connect(t, why))
            return LINE_AWAY;
        bool again = false;
        const line_status s = store_attempt(t, body, &again, why);
        if (!again || attempt == 3)
            return s;
    }
}

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

line_status store_name_valid(const std::string &name, std::string *why)
{
    if (store_is_server_name(name))
        return store_pg_uri_valid(name, why) ? LINE_OK : LINE_REFUSED;
    if (!name.empty())
        return LINE_OK;
    *why = "--db needs a file name or a postgresql:// URI";
    return LINE_REFUSED;
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
