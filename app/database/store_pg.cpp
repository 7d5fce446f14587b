// The line's database on a PostgreSQL server through libpq. Every wait is
// bounded: connecting (5 s), a statement (10 s, lock waits included), a
// server that stops answering mid-statement (TCP keepalives and user time-out).
#include "app/database/store_sql.h"

#include <libpq-fe.h>

#include <cstdio>
#include <cstring>
#include <string>

struct store_conn {
    PGconn *pg;
};

namespace {

// Each statement's parameter types, so the server never has to guess them.
constexpr unsigned pg_int8 = 20, pg_text = 25, pg_float8 = 701;

// libpq's messages on one line: "...failed: Connection refused; Is the server running...".
std::string pg_message(const char *text)
{
    std::string s;
    for (const char *c = text ? text : ""; *c; ++c) {
        if (*c != '\n' && *c != '\t')
            s += *c;
        else if (c[1] && c[1] != '\n' && c[1] != '\t' && !s.empty() && s.back() != ' ')
            s += "; ";
    }
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// Connection failures and a server going down lose the connection; a deadlock
// or serialization failure only the transaction.
store_sql_rc pg_fail(store_conn *c, PGresult *r, std::string *why)
{
    *why = pg_message(r ? PQresultErrorMessage(r) : PQerrorMessage(c->pg));
    if (why->empty())
        *why = pg_message(PQerrorMessage(c->pg));
    const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    const std::string code = state ? state : "";
    if (PQstatus(c->pg) == CONNECTION_BAD || code.rfind("08", 0) == 0 || code.rfind("57P", 0) == 0)
        return STORE_SQL_LOST;
    if (code == "40001" || code == "40P01")
        return STORE_SQL_RETRY;
    if (code == "57014")
        *why = "the server did not finish a statement within 10 s (" + *why + ")";
    return STORE_SQL_FAILED;
}

struct pg_args {
    std::vector<std::string> text;
    std::vector<const char *> values;
    std::vector<unsigned> types;
};

void pg_params(const std::vector<store_param> &params, pg_args *a)
{
    a->text.resize(params.size());
    for (size_t k = 0; k < params.size(); ++k) {
        const store_param &p = params[k];
        char number[32];
        switch (p.kind) {
        case store_param::NUL: a->types.push_back(0); break;
        case store_param::INT:
            a->text[k] = std::to_string(p.i);
            a->types.push_back(pg_int8);
            break;
        case store_param::REAL:
            std::snprintf(number, sizeof number, "%.17g", p.r);
            a->text[k] = number;
            a->types.push_back(pg_float8);
            break;
        case store_param::TEXT:
            a->text[k] = p.s;
            a->types.push_back(pg_text);
            break;
        }
    }
    for (size_t k = 0; k < params.size(); ++k)
        a->values.push_back(params[k].kind == store_param::NUL ? nullptr : a->text[k].c_str());
}

store_sql_rc pg_exec(store_conn *c, const char *sql, const std::vector<store_param> &params,
                     store_rows *out, std::string *why)
{
    pg_args a;
    pg_params(params, &a);
    PGresult *r = PQexecParams(c->pg, sql, int(params.size()), a.types.data(), a.values.data(),
                               nullptr, nullptr, 0);
    const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    out->rows.clear();
    out->changed = 0;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const store_sql_rc rc = pg_fail(c, r, why);
        PQclear(r);
        return rc;
    }
    for (int i = 0; i < PQntuples(r); ++i) {
        store_row row(size_t(PQnfields(r)));
        for (int k = 0; k < PQnfields(r); ++k)
            if (!PQgetisnull(r, i, k))
                row[size_t(k)] = PQgetvalue(r, i, k);
        out->rows.push_back(std::move(row));
    }
    const char *changed = PQcmdTuples(r);
    out->changed = changed[0] ? std::strtoll(changed, nullptr, 10) : 0;
    PQclear(r);
    return STORE_SQL_OK;
}

// The bounds come before the name, so that a setting in the name wins.
// Windows has no TCP user time-out and sends its own count of keepalive
// probes (10): a server gone silent is noticed there after 25 s, not 11.
PGconn *pg_connect(const std::string &name)
{
    const char *keys[] = {"connect_timeout",     "keepalives",       "keepalives_idle",
                          "keepalives_interval", "keepalives_count", "tcp_user_timeout",
                          "application_name",    "dbname",           nullptr};
    const char *values[] = {"5", "1", "5", "2", "3", "10000", "zmk-cli", name.c_str(), nullptr};
    return PQconnectdbParams(keys, values, 1);
}

store_conn *pg_open(const std::string &name, std::string *why)
{
    store_conn *c = new store_conn{pg_connect(name)};
    if (PQstatus(c->pg) == CONNECTION_OK) {
        PGresult *r = PQexec(c->pg, "SET statement_timeout = 10000; SET lock_timeout = 10000; "
                                    "SET idle_in_transaction_session_timeout = 60000");
        const bool set = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        if (set)
            return c;
    }
    *why = pg_message(PQerrorMessage(c->pg));
    PQfinish(c->pg);
    delete c;
    return nullptr;
}

void pg_close(store_conn *c)
{
    PQfinish(c->pg);
    delete c;
}

// Schema makers serialise on one advisory lock ("zmk" in ASCII), held until their commit.
const store_backend pg_backend = {
    pg_open,
    pg_close,
    pg_exec,
    "BEGIN",
    "SELECT pg_advisory_xact_lock(8023403)",
    " FOR UPDATE",
    "SELECT 1 WHERE to_regclass($1) IS NOT NULL",
    "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY",
    "SELECT CAST(FLOOR(EXTRACT(EPOCH FROM now())) AS BIGINT)",
};

} // namespace

const store_backend *store_pg_backend() { return &pg_backend; }

bool store_pg_uri_valid(const std::string &uri, std::string *why)
{
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(uri.c_str(), &error);
    if (options) {
        PQconninfoFree(options);
        return true;
    }
    *why = "--db " + uri.substr(0, uri.find("://") + 3) + "... is not a connection URI (" +
           pg_message(error ? error : "out of memory") + ")";
    PQfreemem(error);
    return false;
}
