// Many devices at once: one child process per device (each one designed
// run, alone in its process, so that a device that hangs or crashes holds up
// no other), their events rendered here, and the one writer of the records.
#pragma once

#include "app/cli/child.h"
#include "app/cli/cli.h"
#include "platform/ports.h"
#include "platform/process.h"

#include <condition_variable>
#include <ctime>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>

struct gang_device {
    std::string port;
    port_info usb{};
    proc *child = nullptr;
    std::thread reader;
    std::time_t start = 0;
    uint32_t start_ms = 0;
    cli_watch watch{};  // the child's progress, for its live line
    bool ended = false; // its end line came
    child_end end{};
    bool killed = false; // stopped by a second Ctrl-C
};

struct gang_message {
    gang_device *device;
    bool closed; // the child's output ended
    child_line line;
};

struct gang {
    const cli_options *opt;
    const cli_image *image;
    std::string self, host;
    std::list<gang_device> running; // stable addresses for the readers
    std::mutex lock;
    std::condition_variable wake;
    std::deque<gang_message> inbox;
    int programmed = 0, ok = 0, failed = 0, worst = CLI_EXIT_DONE;
    bool live = false;
    bool tty = false; // standard output is a terminal: the bell is heard
    int drawn_lines = 0;
    int counted = -1; // `programmed` when the count line was last printed
    bool station = false;
};

void gang_init(gang *g, const cli_options &opt, const cli_image &image);
// Starts the run of one device in a child; false when the child cannot start
// (then it is already counted as failed).
bool gang_start(gang *g, const std::string &port, const port_info *usb);
// Takes in what the children said, waiting at most `ms` for it; finished
// devices are recorded and reported. Redraws the live lines.
void gang_pump(gang *g, int ms);
// A port left out because Ctrl-C came first: recorded and shown as
// interrupted.
void gang_not_started(gang *g, const std::string &port);
// Ends every running child at once; they are recorded as interrupted.
void gang_kill_all(gang *g);

// Rendering: the lines of the running devices on a terminal, and one line per
// device when it ends.
void gang_draw(gang *g);
void gang_report(gang *g, const gang_device &d, const cli_outcome &o);
// The station's running count ("12 programmed: 11 ok, 1 failed"), unless it
// was just shown.
void gang_count(gang *g);
