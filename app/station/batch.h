// Many devices at once: one child process per device (each one designed
// run, alone in its process, so that a device that hangs or crashes holds up
// no other), their events rendered here, and the one writer of the records.
#pragma once

#include "app/cli/child.h"
#include "app/cli/cli.h"
#include "app/cli/db.h"
#include "app/cli/record.h"
#include "platform/ports.h"
#include "platform/process.h"

#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>

struct ui_server;
struct ui_slots;

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
    bool killed = false;  // stopped by a second Ctrl-C, SIGTERM or SIGHUP
    uint32_t stop_ms = 0; // when it was asked to stop
    std::string run;      // the run's name in the records
    bool claimed = false; // it carries a serial number
    cli_claim claim{};
};

// A port another program holds: asked for again every second for a while
// (a modem manager probing a fresh adapter lets go), then reported once.
struct gang_busy {
    uint32_t first_ms, next_ms;
    bool reported;
};

struct gang_message {
    gang_device *device;
    bool closed; // the child's output ended
    child_line line;
};

struct gang {
    const cli_options *opt;
    const cli_image *image;
    const serial_plan *plan;
    cli_db *db; // nullptr: no --db
    std::string self, host;
    std::list<gang_device> running; // stable addresses for the readers
    std::mutex lock;
    std::condition_variable wake;
    std::deque<gang_message> inbox;
    int programmed = 0, ok = 0, failed = 0, worst = CLI_EXIT_DONE;
    int in_use = 0;           // ports never touched: another program held them
    int not_started = 0;      // ports left out: Ctrl-C came first, or the log took no records
    bool interrupted = false; // a run was cut short or never started
    std::map<std::string, gang_busy> busy;
    std::deque<cli_record> unwritten; // records the log did not take yet
    bool record_lost = false;         // some device's record was not kept when it ended
    std::string record_why;           // why the log last refused a record
    uint32_t record_retry_ms = 0;
    bool live = false;
    bool tty = false; // standard output is a terminal: the bell is heard
    int drawn_lines = 0;
    int counted = -1; // `programmed` when the count line was last printed
    bool station = false;
    // Serial numbers: none can be reserved now (tried again a second
    // later), or none is left.
    bool serial_away = false, serial_out = false;
    uint32_t serial_retry_ms = 0;
    bool spooling = false; // the database takes no records now; they wait in the spool
    // The station's page (--ui): its server, its tiles, and what the page
    // asked for.
    ui_server *ui = nullptr;
    ui_slots *slots = nullptr;
    bool paused = false;   // Stop pressed on the page: no new device until Resume
    bool stopping = false; // Ctrl-C: no new device, the run ends
    uint32_t ui_ms = 0, today_ms = 0;
    int64_t today_runs = -1, today_ok = 0; // the line's totals today, -1: not known
};

void gang_init(gang *g, const cli_options &opt, const cli_image &image, const serial_plan &plan,
               cli_db *db);
// Reserves the serial number of the device about to start on `port`; true
// when the run carries none. False when none can be had now (said once each
// way, tried again a second later) or none is left (`serial_out`, said once).
bool gang_claim(gang *g, const std::string &port, const port_info *usb, cli_claim *out);
// Starts the run `claim` names of one device in a child, with the serial
// number it holds; false when the child cannot start (then it is already
// counted as failed).
bool gang_start(gang *g, const std::string &port, const port_info *usb, const cli_claim &claim);
// Takes in what the children said, waiting at most `ms` for it; finished
// devices are recorded and reported. Redraws the live lines.
void gang_pump(gang *g, int ms);
// A port left out (Ctrl-C came first, or the log takes no records): recorded
// and shown as interrupted, `why` saying why.
void gang_not_started(gang *g, const std::string &port, const char *why);
// Asks every running child to stop at its next step; one that has not ended
// STOP_GRACE_MS later is ended outright. They are recorded as interrupted.
void gang_kill_all(gang *g);
constexpr uint32_t GANG_STOP_GRACE_MS = 3000;
// Writes the records the log did not take before; true when none is left.
// Tries at most once a second, unless `now`.
bool gang_records_flush(gang *g, bool now = false);
// The status the whole batch or station ends with.
int gang_status(const gang *g);

// How long, and how often, a port another program holds is asked for again.
constexpr uint32_t GANG_BUSY_FOR_MS = 10000, GANG_BUSY_EVERY_MS = 1000;
// Whether a port is waiting for another program to let go, and whether it is
// due to be tried again now.
bool gang_busy_due(const gang *g, const std::string &port, uint32_t now);

// Rendering: the lines of the running devices on a terminal, and one line per
// device when it ends.
void gang_draw(gang *g);
// `record_why`: why its record was not kept ("cannot write LOG (...)"),
// nullptr when it was.
void gang_report(gang *g, const gang_device &d, const cli_outcome &o, const char *record_why);
// What the operator does about a device that failed: "unplug the device and
// plug it in again to program it again"; "" when its message already says.
inline const char *gang_next_step(bool station, const cli_outcome &o)
{
    if (std::strcmp(o.result, "in-use") == 0)
        return station ? "close that program, then unplug the device and plug it in again"
                       : "close that program, then program the device again";
    for (const char *told : {"ok", "interrupted", "permission", "not-a-port", "no-port"})
        if (std::strcmp(o.result, told) == 0)
            return "";
    return station ? "unplug the device and plug it in again to program it again"
                   : "check the device and its cable, then program it again";
}

// The count ("12 programmed: 11 ok, 1 failed, yield 91.7 %"), unless it was
// just shown.
void gang_count(gang *g);
// A line for the operator between the devices' lines ("zmk-cli: ...").
void gang_say(gang *g, const char *text);

// The station's page: served from the start (0, or the exit status with the
// reason told), fed with every record and every device that ends, brought
// up to date from the loop at most every 100 ms (`present`: the ports the
// station sees, nullptr for a batch), and closed at the end.
int gang_ui_start(gang *g);
void gang_ui_record(gang *g, const std::string &record_json);
void gang_ui_end(gang *g, const gang_device &d, const cli_outcome &o, const char *record_why);
void gang_ui_update(gang *g, const port_info *present = nullptr, int n = 0);
void gang_ui_free(gang *g);
