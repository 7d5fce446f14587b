// Builds without libpq (Windows) keep the line's database in SQLite files.
#include "app/database/store_sql.h"

namespace {

store_conn *none_open(const std::string &, std::string *why)
{
    *why = "this build keeps its records in SQLite files only; give --db a file name";
    return nullptr;
}

void none_close(store_conn *) {}

store_sql_rc none_exec(store_conn *, const char *, const std::vector<store_param> &, store_rows *,
                       std::string *)
{
    return STORE_SQL_LOST;
}

const store_backend none_backend = {none_open, none_close, none_exec, "", "", "", "", "", ""};

} // namespace

const store_backend *store_pg_backend() { return &none_backend; }

bool store_pg_uri_valid(const std::string &, std::string *why)
{
    return none_open("", why) != nullptr;
}
