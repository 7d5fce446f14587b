// zmk-cli: the headless front end. Options, the watch over the device's
// acknowledgements, and the live progress line.
#pragma once

#include "layers/lprog.h"

#include <cstddef>
#include <cstdint>
#include <string>

enum : int {
    CLI_EXIT_DONE = 0,
    CLI_EXIT_PORT = 1,   // the port cannot be opened
    CLI_EXIT_USAGE = 2,  // bad options or an unreadable image
    CLI_EXIT_SILENT = 3, // the device stopped answering
};

struct cli_options {
    std::string port;
    std::string image;
    double timeout_s = 30; // 0: wait for ever
    bool list = false;
    bool quiet = false;
};

// Returns -1 when the run should go on, else the exit status (help or
// version printed: 0; bad usage: 2, with the reason on standard error).
int cli_parse(int argc, char **argv, cli_options *opt);

// Follows the progress hook. Each call reports the command about to be sent;
// when it differs from the previous one, the device acknowledged something.
struct cli_watch {
    lprog_progress last;
    int seen;
    uint32_t last_ack_ms;
    uint32_t program_start_ms; // first PROGRAM command, for the rate
    uint32_t program_start_done;
    int program_started;
    uint32_t drawn_ms;
    uint32_t drawn_state;
};

void cli_watch_init(cli_watch *t, uint32_t now_ms);
// Returns 1 when an acknowledgement arrived since the previous call.
int cli_watch_update(cli_watch *t, const lprog_progress *p, uint32_t now_ms);
// "Programming  42%  25600/60800 bytes  10.1 kB/s  0:03 left"
int cli_format_live(const cli_watch *t, uint32_t now_ms, char *dest, size_t size);

int cli_run(const cli_options &opt);
