// zmk-cli's command line.
#include "app/cli/options.h"
#include "app/cli/job.h"
#include "app/page/server.h"

#include "platform/files.h"

#include "platform/port_watch.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>

#ifndef ZMK_VERSION
#define ZMK_VERSION "0"
#endif

namespace {

const CLI::Validator seconds(
    [](std::string &v) {
        char *end = nullptr;
        double d = std::strtod(v.c_str(), &end);
        return end != v.c_str() && *end == 0 && d >= 0 && d < 1e9
                   ? std::string()
                   : "expects a number of seconds, 0 or more";
    },
    "");

void add_run_options(CLI::App &app, cli_options *opt)
{
    app.add_option("--image", opt->image, "Flash FILE instead of the built-in image")
        ->type_name("FILE");
    app.add_option("--timeout", opt->run.timeout_s,
                   "Give up when the device has acknowledged nothing for SECONDS, because it "
                   "is silent or refuses the command (0: never)")
        ->type_name("SECONDS")
        ->check(seconds)
        ->default_str("30");
    app.add_option("--hold-after-failures", opt->hold_after_failures,
                   "With --station: hold a bay after N failures in a row there (no device "
                   "plugged in is started until it is cleared on the page); 0: never (default)")
        ->type_name("N")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--rated-insertions", opt->rated_insertions,
                   "With --station: a bay's contacts are rated for N insertions; past them its "
                   "tile says they are due for service (counted across shifts with --db); 0: no "
                   "limit (default)")
        ->type_name("N")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--erase-timeout", opt->run.erase_timeout_s,
                   "While the device answers the erase poll with \"not yet\", wait up to "
                   "SECONDS for the erase to finish (0: never give up)")
        ->type_name("SECONDS")
        ->check(seconds)
        ->default_str("300");
    app.add_flag("-q,--quiet", opt->run.quiet, "Print errors only");
}

void add_line_options(CLI::App &app, cli_options *opt)
{
    app.add_option("--jobs", opt->jobs, "Program at most N devices at once (default: all)")
        ->type_name("N");
    app.add_option("--log", opt->log,
                   "Append one JSON record per device run to FILE (JSON Lines), kept on disk "
                   "before the device's result is shown")
        ->type_name("FILE");
    app.add_flag("--station", opt->station,
                 "Wait for devices and program each one as it appears, until Ctrl-C");
    // One pattern per --match, so that a PORT after it stays a port.
    app.add_option("--match", opt->match,
                   "With --station (or --list): ports to program, a glob on the path "
                   "('/dev/ttyUSB*') or usb:VVVV:PPPP (default: USB serial adapters only); may "
                   "be repeated")
        ->type_name("PATTERN")
        ->allow_extra_args(false);
}

void add_serial_options(CLI::App &app, cli_options *opt)
{
    app.add_option("--db", opt->db,
                   "Keep the serial numbers' ledger and every record in a database: an SQLite "
                   "FILE (made on first use) or postgresql://USER@HOST/DB, shared by a line of "
                   "stations")
        ->type_name("FILE|URL");
    app.add_option("--serial-at", opt->serial.at,
                   "Write each device's own serial number into its copy of the image at byte "
                   "OFFSET (decimal, or hex as 0x...)")
        ->type_name("OFFSET");
    app.add_option("--serial-format", opt->serial.format,
                   "How the number is written: u32le, u32be, u64le, u64be, or ascii:N (decimal, "
                   "zero-padded to N characters)")
        ->type_name("FORMAT")
        ->default_str("u32le, or the pool's");
    app.add_option("--serial-start", opt->serial.start, "The range's first number")->type_name("N");
    app.add_option("--serial-step", opt->serial.step, "From one number to the next (default 1)")
        ->type_name("K");
    app.add_option("--serial-end", opt->serial.end,
                   "The last number the range may hand out (default: the largest that fits)")
        ->type_name("N");
    app.add_option("--serial-list", opt->serial.list,
                   "Hand out the numbers in FILE (one per line) in order, each once")
        ->type_name("FILE");
    app.add_option("--station-name", opt->station_name,
                   "The station's name in the records and the database (default: the "
                   "machine's name)")
        ->type_name("NAME");
    app.add_option("--ui", opt->ui,
                   "Serve the station's live page (a tile per device) at [ADDRESS:]PORT while "
                   "the run lasts (default address 127.0.0.1; a batch's page stays until Ctrl-C)")
        ->type_name("[ADDRESS:]PORT");
    app.add_option("--ui-host", opt->ui_hosts,
                   "Another name the page is reached by (a DNS name of this machine); requests "
                   "for any other name are refused; may be repeated")
        ->type_name("NAME")
        ->allow_extra_args(false);
    app.add_option("--slot", opt->slots,
                   "Name a tile of the page after a port or a USB location: NAME=PATTERN, "
                   "e.g. 3=usb-path:1-1.3 or 3=/dev/ttyUSB3; may be repeated")
        ->type_name("NAME=PATTERN")
        ->allow_extra_args(false);
    app.add_option("--serial-pool", opt->serial.pool,
                   "The pool's name in the database, so products can share one (default: "
                   "default); alone, it takes the place, the format and the numbers from the "
                   "pool")
        ->type_name("NAME");
    app.add_flag("--new-pool", opt->serial.new_pool,
                 "Start a new pool with the definition given (and the SQLite file when "
                 "missing); without it, a run uses only a pool that is there");
    app.add_flag("--allow-overlap", opt->serial.allow_overlap,
                 "With --new-pool: the new pool may hand out numbers another pool written at "
                 "the same place hands out too");
}

void add_job_options(CLI::App &app, cli_options *opt)
{
    app.add_option("--job", opt->job_file,
                   "Take every production setting (image, serial numbers, database, ports, "
                   "slots, limits) from the job FILE (TOML), sealed with minisign in FILE.minisig")
        ->type_name("FILE");
    app.add_option("--job-key", opt->job_keys,
                   "Run only jobs sealed by the minisign public key in FILE (besides the keys in "
                   "the machine's folder of job keys); may be repeated")
        ->type_name("FILE")
        ->allow_extra_args(false);
    app.add_flag("--check", opt->check,
                 "With --job: verify the job, its seal and its image, show them, and touch no "
                 "device");
}

// The options a job sets are its own: given beside --job, they are refused.
const char *const job_sets[] = {"--image",
                                "--serial-at",
                                "--serial-format",
                                "--serial-start",
                                "--serial-step",
                                "--serial-end",
                                "--serial-list",
                                "--serial-pool",
                                "--db",
                                "--match",
                                "--slot",
                                "--timeout",
                                "--erase-timeout",
                                "--hold-after-failures",
                                "--rated-insertions"};

std::string job_conflict(const CLI::App &app, const cli_options *opt)
{
    if (opt->job_file.empty()) {
        if (!opt->job_keys.empty())
            return "--job-key goes with --job";
        return opt->check ? "--check goes with --job" : "";
    }
    for (const char *name : job_sets)
        if (app.count(name) > 0)
            return std::string(name) + " is the job's to set: with --job, change it in " +
                   opt->job_file;
    return "";
}

int check_usage(const cli_options *opt, const CLI::App &app)
{
    const bool jobs_given = app.count("--jobs") > 0, ui_given = app.count("--ui") > 0;
    const char *why = nullptr;
    std::string ui_why, job_why = job_conflict(app, opt);
    if (!job_why.empty())
        why = job_why.c_str();
    else if (jobs_given && opt->jobs < 1)
        why = "--jobs must be 1 or more";
    else if (opt->list || opt->check)
        why = nullptr;
    else if (opt->station && !opt->ports.empty())
        why = "--station finds its ports itself: give --match instead of PORT";
    else if (!opt->station && !opt->match.empty())
        why = "--match goes with --station (or --list); PORT... programs the ports named";
    else if (!opt->station && opt->ports.empty() && !opt->serial.new_pool)
        why = "PORT is required";
    else if (!opt->slots.empty() && opt->ui.empty())
        why = "--slot names the tiles of the page: give --ui too";
    else if (!opt->ui_hosts.empty() && !ui_given)
        why = "--ui-host names the page: give --ui too";
    else if (ui_given && !ui_server_where_valid(opt->ui, &ui_why))
        why = (ui_why = "--ui " + ui_why).c_str();
    for (const std::string &m : opt->match) {
        uint16_t vid = 0, pid = 0;
        if (!why && port_pattern_usb(m.c_str(), &vid, &pid) < 0)
            why = "--match usb: takes four hex digits each, as in usb:0403:6001";
    }
    if (!why)
        return -1;
    std::fprintf(stderr, "zmk-cli: %s\nRun with --help for more information.\n", why);
    return RUN_EXIT_USAGE;
}

} // namespace

int cli_parse(int argc, char **argv, cli_options *opt)
{
    CLI::App app{"Writes the firmware image into the device on each PORT, sets its clock and "
                 "resets it. Several ports are programmed at once, each in a process of its "
                 "own; --station programs every device that appears.",
                 "zmk-cli"};
    app.get_formatter()->column_width(34);
    // "/dev/ttyUSB0" is a port, not a Windows-style option.
    app.allow_windows_style_options(false);
    app.add_option("PORT", opt->ports, "Serial ports: /dev/ttyUSB0, COM3, ...");
    app.add_flag("--list", opt->list, "List the serial ports that can be opened now");
    add_run_options(app, opt);
    add_line_options(app, opt);
    add_serial_options(app, opt);
    add_job_options(app, opt);
    app.set_version_flag("--version", "zmk-cli " ZMK_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int rc = app.exit(e);
        return rc == 0 ? RUN_EXIT_DONE : RUN_EXIT_USAGE;
    }
    if (opt->ports.size() == 1)
        opt->run.port = opt->ports[0];
    const int rc = check_usage(opt, app);
    return rc >= 0 || opt->job_file.empty() ? rc : cli_job_take(opt);
}

std::string cli_station_name(const cli_options &opt)
{
    if (!opt.station_name.empty())
        return opt.station_name;
    char host[128];
    platform_host_name(host, sizeof host);
    return host[0] ? host : "zmk";
}
