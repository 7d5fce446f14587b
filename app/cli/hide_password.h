// A database password given on the command line, taken out of the process
// list: any user on the machine can read another's command line.
#pragma once

#include <string>

// `db` (a --db value) with each password in it masked ("postgresql://u:***@h/d",
// "?password=***", "password=***" of a key=value conninfo), never longer than
// `db`; `found` tells whether there was one.
std::string cli_db_masked(const std::string &db, bool *found);
// Masks the password of every --db value in argv in place, saying once on
// standard error where a password belongs instead. Whether there was one.
// The caller parses a copy of argv taken before.
bool cli_hide_password(int argc, char **argv);
