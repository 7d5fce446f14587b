// The station's spool: a file of this process's records that the database
// could not take yet (durable appends, one JSON line each), written to the
// database in order once it is back, and by the next zmk-cli on this
// station when this process ends first.
#pragma once

#include "framework/status.h"

#include <functional>
#include <string>

// This process's spool for the database named `db_name` (as shown), under
// the station's state folder ($XDG_STATE_HOME/zmk, %LOCALAPPDATA%\zmk, else
// ~/.local/state/zmk, made when missing).
std::string spool_path(const std::string &db_name, long long pid);
line_status spool_append(const std::string &path, const std::string &json, std::string *why);
void spool_remove(const std::string &path);
// The spools that processes now gone left for the same database: each line
// handed to `take` in order, until one is not taken; a file whose every line
// was taken is removed. Said on standard error, a line per file.
void spool_adopt(const std::string &db_name, long long self,
                 const std::function<bool(const std::string &json)> &take);
