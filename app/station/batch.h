// Many devices at once: one zmk-device child process per device (each one
// designed run, alone in its process, so that a device that hangs or
// crashes holds up no other), their events followed here, and each end
// handed to the one keeper of records.
#pragma once

#include "app/ledger/ledger.h"
#include "app/record/keeper.h"
#include "app/run/child.h"
#include "app/run/image.h"
#include "app/run/run.h"
#include "platform/ports.h"
#include "platform/process.h"

#include <condition_variable>
#include <ctime>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct page_feed;

// What the batch and the station are set to do.
struct batch_settings {
    run_options run;         // each device's limits (port unused)
    std::string image_path;  // "": the built-in image
    std::string host;        // the station's name
    bool station = false;    // serve every device plugged in, until Ctrl-C
    int jobs = 0;            // devices at once, 0: all
    std::vector<std::string> match; // the station's ports
    std::string ui;          // the page's [ADDRESS:]PORT, "": none
    std::vector<std::string> slots;
    std::string db;          // the database as given, for the day's totals; "": none
};

struct batch_device {
    std::string port;
    port_info usb{};
    proc *child = nullptr;
    std::thread reader;
    std::time_t start = 0;
    uint32_t start_ms = 0;
    run_watch watch{};  // the child's progress, for its live line
    bool ended = false; // its end line came
    run_end end{};
    bool killed = false;  // stopped by a second Ctrl-C, SIGTERM or SIGHUP
    uint32_t stop_ms = 0; // when it was asked to stop
    bool claimed = false; // it carries a serial number
    ledger_claim claim{}; // its run's name, and its number
};

// A port another program holds: asked for again every second for a while
// (a modem manager probing a fresh adapter lets go), then reported once.
// Its number, when it has one, is kept across the retries.
struct batch_busy {
    uint32_t first_ms, next_ms;
    bool reported;
    bool claimed = false;
    ledger_claim claim{};
};

struct batch_message {
    batch_device *device;
    bool closed; // the child's output ended
    child_line line;
};

struct batch {
    const batch_settings *set;
    const run_image *image;
    ledger *serials; // nullptr: no serial numbers
    keeper *records;
    std::string device_program; // zmk-device
    std::list<batch_device> running; // stable addresses for the readers
    std::mutex lock;
    std::condition_variable wake;
    std::deque<batch_message> inbox;
    int programmed = 0, ok = 0, failed = 0, worst = RUN_EXIT_DONE;
    int in_use = 0;           // ports never touched: another program held them
    int not_started = 0;      // ports left out: Ctrl-C came first, or the log took no records
    bool interrupted = false; // a run was cut short or never started
    std::map<std::string, batch_busy> busy;
    bool record_lost = false; // some device's record was not kept when it ended
    bool live = false;
    bool tty = false; // standard output is a terminal: the bell is heard
    int drawn_lines = 0;
    int counted = -1; // `programmed` when the count line was last printed
    // Serial numbers: none can be reserved now (tried again a second
    // later), or none is left.
    bool serial_away = false, serial_out = false;
    uint32_t serial_retry_ms = 0;
    bool spooling = false; // the database takes no records now; they wait in the spool
    page_feed *page = nullptr; // the station's page, nullptr: none
    bool paused = false;       // Stop pressed on the page: no new device until Resume
    bool stopping = false;     // Ctrl-C: no new device, the run ends
};

void batch_init(batch *t, const batch_settings &set, const run_image &image, ledger *serials,
                keeper *records);
// Reserves the serial number of the device about to start on `port` (or
// takes the one its port kept while another program held it); true when
// one is held or the run carries none. False when none can be had now (said
// once each way, tried again a second later) or none is left (`serial_out`,
// said once).
bool batch_claim(batch *t, const std::string &port, const port_info *usb, ledger_claim *out,
                 bool *claimed);
// Starts the run `claim` names of one device in a child; false when the
// child cannot start (then it is already counted as failed).
bool batch_start(batch *t, const std::string &port, const port_info *usb, const ledger_claim &claim,
                 bool claimed);
// Takes in what the children said, waiting at most `ms` for it; finished
// devices are recorded and reported. Redraws the live lines.
void batch_pump(batch *t, int ms);
// A port left out (Ctrl-C came first, or the log takes no records): recorded
// and shown as interrupted, `why` saying why.
void batch_not_started(batch *t, const std::string &port, const char *why);
// Asks every running child to stop at its next step; one that has not ended
// BATCH_STOP_GRACE_MS later is ended outright. They are recorded as interrupted.
void batch_kill_all(batch *t);
constexpr uint32_t BATCH_STOP_GRACE_MS = 3000;
// The numbers that ports held by other programs kept and will not use now
// go back to the ledger.
void batch_release_busy(batch *t, const std::string &port);
// The status the whole batch or station ends with.
int batch_status(const batch *t);

// How long, and how often, a port another program holds is asked for again.
constexpr uint32_t BATCH_BUSY_FOR_MS = 10000, BATCH_BUSY_EVERY_MS = 1000;
// Whether a port is waiting for another program to let go, and whether it is
// due to be tried again now.
bool batch_busy_due(const batch *t, const std::string &port, uint32_t now);

// What the operator does about a device that failed: "unplug the device and
// plug it in again to program it again"; "" when its message already says.
const char *batch_next_step(bool station, run_result r);

// The batch of named ports, and the station; the exit status.
int batch_run_ports(batch *t, const std::vector<std::string> &ports);
int station_run(batch *t);
