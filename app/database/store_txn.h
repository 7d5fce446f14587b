// What the store's files share: the open database, its statements and
// transactions, the database's clock and the ledger's event log.
#pragma once

#include "app/database/store.h"
#include "app/database/store_sql.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct store {
    const store_backend *b;
    std::string name;  // as given, to connect again
    std::string shown; // without a password
    store_conn *c = nullptr;
    store_sql_rc failed = STORE_SQL_OK; // the transaction's first failure
    std::string failed_why;
};

using store_body = std::function<line_status(std::string *why)>;

// "" as NULL; a value read back as a number (NULL as 0); a name in quotes.
store_param store_text_or_null(const std::string &s);
int64_t store_number(const std::optional<std::string> &v);
std::string store_quoted(const std::string &s);

// One statement of the running transaction; its failure is kept for the
// runner, which decides between rolling back, connecting again and retrying.
bool store_exec(store *t, const std::string &sql, const std::vector<store_param> &params,
                store_rows *out = nullptr);

// The database's clock, `ago` seconds back, as ISO-8601 UTC text to the second.
bool store_time(store *t, std::string *text, int64_t ago = 0);

// The body in one transaction, run again when nothing was committed.
line_status store_txn(store *t, const store_body &body, std::string *why);

// One step of a number's history (reserved, used, spoiled, returned) at
// `time`, with who took it: the station, the process and its machine, the device.
bool store_serial_event(store *t, const std::string &pool, int64_t value, const char *event,
                        const std::string &time, const store_who &w);

// In the running transaction: the tables made, brought up to this version, or
// refused when newer (store_schema.cpp).
line_status store_schema(store *t, std::string *why);
