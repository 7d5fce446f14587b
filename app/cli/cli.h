// zmk-cli: the headless front end. Options, the watch over the device's
// answers, the live progress line, and one run.
#pragma once

#include "app/frontend.h"
#include "app/verdict.h"
#include "layers/lprog.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum : int {
    CLI_EXIT_DONE = 0,
    CLI_EXIT_PORT = 1,   // the port cannot be opened
    CLI_EXIT_USAGE = 2,  // bad options or an unreadable image
    CLI_EXIT_SILENT = 3, // the device stopped answering, refused, or went away
    CLI_EXIT_RECORD = 4, // a device's record could not be kept
};

struct cli_options {
    std::vector<std::string> ports;
    std::string port; // the one port of a single run
    std::string image;
    double timeout_s = 30;        // 0: wait for ever
    double erase_timeout_s = 300; // an erase answered "not yet"; 0: for ever
    bool list = false;
    bool quiet = false;
    int jobs = 0; // devices at once, 0: all
    std::string log;
    bool station = false;
    std::vector<std::string> match;
    bool child = false; // run one device for a parent, events on standard output
    // The line's database, and the serial numbers written into each device
    // (numbers as given: decimal or 0x hex; checked by serial_plan_make).
    std::string db;
    std::string serial_at, serial_format = "u32le", serial_start, serial_step, serial_end;
    std::string serial_list, serial_pool;
    std::string serial_put;         // a child's number: OFFSET:HEX, put into its copy of the image
    std::string station_name;       // "": the machine's name
    std::string ui;                 // [ADDRESS:]PORT of the station's page, "": none
    std::vector<std::string> slots; // NAME=PATTERN, the page's named slots
};

// The station's name in the records and the database: --station-name, else
// the machine's name.
std::string cli_station_name(const cli_options &opt);

// Returns -1 when the run should go on, else the exit status (help or
// version printed: 0; bad usage: 2, with the reason on standard error).
int cli_parse(int argc, char **argv, cli_options *opt);

// Follows the engine's events for what a person sees and the record keeps:
// progress, exchanges, repeats, and what the engine says while the device
// acknowledges nothing. How the run stands is the engine's to judge.
struct cli_watch {
    lprog_progress last; // the command last sent
    uint32_t exchanges;
    uint32_t repeats;          // commands sent again for want of an answer (not erase polls)
    uint32_t program_start_ms; // first PROGRAM command, for the rate
    uint32_t program_start_done;
    int program_started;
    char waiting[160]; // the engine's words while the device acknowledges nothing, else ""
    int64_t serial_at; // image offset of the device's serial number, -1: none
    bool serial_sent;  // the command carrying it was sent: the number may be in the device
};

void cli_watch_init(cli_watch *t, uint32_t now_ms, int64_t serial_at = -1);
// Takes in any event of the run.
void cli_watch_event(cli_watch *t, const zmk_event *e, uint32_t now_ms);

// "Programming  42%  25600/60800 bytes  10.1 kB/s  0:03 left", or while the
// device acknowledges nothing, what it does instead: "no answer for 7 s,
// waiting on PROGRAM at 0x4c00 (gives up at 30 s)".
int cli_format_live(const cli_watch *t, uint32_t now_ms, char *dest, size_t size);

// Where an interrupted run stopped and what that leaves in the device:
// "interrupted while waiting on PROGRAM at 0x4c00: the device is partly
// programmed and will not start; program it again".
void cli_format_stopped(const cli_watch *t, char *dest, size_t size);

// The run's limits from the options.
zmk_limits cli_limits(const cli_options &opt);

// How one device's run ended.
struct cli_outcome {
    int exit;           // CLI_EXIT_*
    const char *result; // "ok", or one word for the failure
    char message[256];  // the one line that explains a failure
    double seconds;
    uint32_t exchanges, repeats;
};
// The record's word for the engine's verdict on a failed run.
const char *cli_verdict_word(zmk_verdict v);

// The image a run flashes: the --image file (read into `bytes`) or the
// built-in one; its name, size and CRC-32 for the record. 0, or
// CLI_EXIT_USAGE with the reason on standard error.
struct cli_image {
    std::vector<uint8_t> bytes; // empty: the built-in image
    std::string name;
    uint32_t size, crc32;
};
int cli_load_image(const cli_options &opt, cli_image *out);
// Puts `bytes` at `at` into this run's copy of the image (taken from the
// built-in one first when that is flashed). The name, size and CRC-32 stay
// the image's own: the record tells the bytes apart.
void cli_image_put(cli_image *t, uint64_t at, const std::vector<uint8_t> &bytes);
// --list: the ports that can be opened now (with --match: those the station
// would serve).
int cli_list_ports(const cli_options &opt);

struct serial_plan;
struct cli_db;
// Many ports, or the station: one child process per device. `db`: nullptr
// without --db.
int cli_gang(const cli_options &opt, const cli_image &image, const serial_plan &plan, cli_db *db);
int cli_run(const cli_options &opt);
