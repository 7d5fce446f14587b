// zmk-cli's --job: the job read and its seal checked before anything else,
// its settings taken as the options they stand for; its image checked
// against its hash once loaded; --check's report.
#pragma once

#include "app/cli/options.h"
#include "app/ledger/serial.h"
#include "app/record/record.h"
#include "app/run/image.h"

// Reads opt->job_file, checks its seal against --job-key and the machine's
// keys, and fills the options from it. -1 to go on, else the exit status
// (2, the reason on standard error).
int cli_job_take(cli_options *opt);
// The image against the job's hash: 0, or 2 naming both hashes. Says once
// that a job runs unsealed (not for --check).
int cli_job_image(const cli_options &opt, const run_image &image);
// --check: the job, its seal, its image, its serial plan and slots on
// standard output; 0.
int cli_job_report(const cli_options &opt, const run_image &image, const serial_plan &plan);
// What the records say of the job (nothing without one).
record_job cli_job_record(const cli_options &opt);
