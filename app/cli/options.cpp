// zmk-cli's command line.
#include "app/cli/cli.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>

#ifndef ZMK_VERSION
#define ZMK_VERSION "0"
#endif

int cli_parse(int argc, char **argv, cli_options *opt)
{
    CLI::App app{"Writes the firmware image into the device on PORT, sets its clock and "
                 "resets it.",
                 "zmk-cli"};
    // "/dev/ttyUSB0" is a port, not a Windows-style option.
    app.allow_windows_style_options(false);
    app.add_option("PORT", opt->port, "Serial port: /dev/ttyUSB0, COM3, ...");
    app.add_flag("--list", opt->list, "List the serial ports that can be opened now");
    app.add_option("--image", opt->image, "Flash FILE instead of the built-in image")
        ->type_name("FILE");
    const CLI::Validator seconds(
        [](std::string &v) {
            char *end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            return end != v.c_str() && *end == 0 && d >= 0 && d < 1e9
                       ? std::string()
                       : "expects a number of seconds, 0 or more";
        },
        "");
    app.add_option("--timeout", opt->timeout_s,
                   "Give up when the device has acknowledged nothing for SECONDS, because it "
                   "is silent or refuses the command (0: never)")
        ->type_name("SECONDS")
        ->check(seconds)
        ->default_str("30");
    app.add_option("--erase-timeout", opt->erase_timeout_s,
                   "While the device answers the erase poll with \"not yet\", wait up to "
                   "SECONDS for the erase to finish (0: never give up)")
        ->type_name("SECONDS")
        ->check(seconds)
        ->default_str("300");
    app.add_flag("-q,--quiet", opt->quiet, "Print errors only");
    app.set_version_flag("--version", "zmk-cli " ZMK_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int rc = app.exit(e);
        return rc == 0 ? CLI_EXIT_DONE : CLI_EXIT_USAGE;
    }
    if (!opt->list && opt->port.empty()) {
        std::fprintf(stderr, "zmk-cli: PORT is required\nRun with --help for more information.\n");
        return CLI_EXIT_USAGE;
    }
    return -1;
}
