// zmk-cli: the command line. Options, --list, and the run they ask for: one
// device in this process, or many (a batch of named ports, or the station)
// with one zmk-device child each.
#pragma once

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
    std::string station_name;       // "": the machine's name
    std::string ui;                 // [ADDRESS:]PORT of the station's page, "": none
    std::vector<std::string> slots; // NAME=PATTERN, the page's named slots
};

// Returns -1 when the run should go on, else the exit status (help or
// version printed: 0; bad usage: 2, with the reason on standard error).
int cli_parse(int argc, char **argv, cli_options *opt);
// The station's name in the records and the database: --station-name, else
// the machine's name.
std::string cli_station_name(const cli_options &opt);
// --list: the ports that can be opened now (with --match: those the station
// would serve).
int cli_list_ports(const cli_options &opt);
int cli_run(const cli_options &opt);

struct ledger;
struct keeper;
// One device in this process: its number reserved, the run, its record.
int cli_single(const cli_options &opt, run_image *image, ledger *serials, keeper *records);
