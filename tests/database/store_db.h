// The store's tests: fresh databases of either kind, and a look at the tables
// beside the store through the same seam.
#pragma once

#include "app/database/store.h"
#include "app/database/store_sql.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// "sqlite": a new file in a temporary directory; "postgresql": a new database
// in the test program's throwaway cluster (started on first use).
std::string store_db_new(const std::string &kind);

std::vector<store_row> store_db_query(const std::string &db, const std::string &sql,
                                      const std::vector<store_param> &params = {});

// A record as zmk-cli writes it; `state` nullptr: the run carried no serial.
std::string store_db_record(const std::string &run, const std::string &pool, uint64_t value,
                            const char *state);

// `machine` "": a reservation of an older zmk-cli, which kept no machine.
inline store_who store_db_who(const std::string &run, const std::string &host, int64_t pid,
                              const std::string &machine = "machine-a")
{
    return store_who{run, host, pid, "/dev/ttyUSB0", "A10K3", "1-1.3", machine};
}

// Every backend the build has, for TEST_P, and the cases' names after them.
std::vector<std::string> store_db_kinds();
inline std::string store_db_kind_name(const testing::TestParamInfo<std::string> &kind)
{
    return kind.param;
}
