// The line's totals for today, asked of a shared database server on a
// thread of its own every 10 s, so that a slow server never delays a
// device. A database file holds one station's records only: no totals.
#pragma once

#include <cstdint>
#include <string>

struct totals;

// nullptr when `db` names no server.
totals *totals_start(const std::string &db);
// The latest answer; false while none came (or t is nullptr).
bool totals_get(totals *t, int64_t *runs, int64_t *ok);
void totals_stop(totals *t);
