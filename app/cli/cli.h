// zmk-cli: the command line. Options, --list, and the run they ask for: one
// device in this process, or many (a batch of named ports, or the station)
// with one zmk-device child each.
#pragma once

#include "app/cli/options.h"

int cli_run(const cli_options &opt);
