// zmk-cli's options, as the command line gives them.
#pragma once

#include "app/job/job.h"
#include "app/ledger/serial.h"
#include "app/run/run.h"

#include <string>
#include <vector>

struct cli_options {
    std::vector<std::string> ports;
    run_options run; // the one port of a single run, each device's limits, --quiet
    std::string image;
    bool list = false;
    int jobs = 0; // devices at once, 0: all
    std::string log;
    bool station = false;
    std::vector<std::string> match;
    // The line's database, and the serial numbers written into each device.
    std::string db;
    serial_settings serial;
    std::string station_name;          // "": the machine's name
    std::string ui;                    // [ADDRESS:]PORT of the station's page, "": none
    std::vector<std::string> ui_hosts; // more names the page answers to
    std::vector<std::string> slots;    // NAME=PATTERN, the page's named slots
    // --job: every setting above that a job holds comes from its file.
    std::string job_file;              // "": none
    std::vector<std::string> job_keys; // --job-key: public keys whose seal a job needs
    bool check = false;                // --check: the job verified and shown, no device touched
    job job_info;                      // the job as read, its seal checked
    int64_t hold_after_failures = 0;   // failures in a row before a bay is held, 0: never
    int64_t rated_insertions = 0;      // a bay's rated insertions, 0: no limit
};

// Returns -1 when the run should go on, else the exit status (help or
// version printed: 0; bad usage: 2, with the reason on standard error).
int cli_parse(int argc, char **argv, cli_options *opt);
// The station's name in the records and the database: --station-name, else
// the machine's name.
std::string cli_station_name(const cli_options &opt);
