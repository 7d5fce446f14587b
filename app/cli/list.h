// --list: the ports that can be opened now (with --match: those the station
// would serve), so that an operator can try a pattern first.
#pragma once

#include "app/cli/options.h"

int cli_list_ports(const cli_options &opt);
