// One device in this process: its serial number reserved before its port is
// touched, the run, and its record handed to the keeper.
#pragma once

#include "app/cli/options.h"
#include "app/ledger/ledger.h"
#include "app/record/keeper.h"

// The status the run ends with.
int cli_single(const cli_options &opt, run_image *image, ledger *serials, keeper *records);
