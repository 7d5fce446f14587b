// The state of a batch or a station: what it is set to do, its running
// devices, the ports other programs hold, and its counts. The batch changes
// it; the terminal's view and the page's snapshot read it.
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
#include <set>
#include <string>
#include <thread>
#include <vector>

struct page_feed;
struct bays;

// What the batch and the station are set to do.
struct batch_settings {
    run_options run;                   // each device's limits (port unused)
    std::string image_path;            // "": the built-in image
    std::string host;                  // the station's name
    bool station = false;              // serve every device plugged in, until Ctrl-C
    int jobs = 0;                      // devices at once, 0: all
    std::vector<std::string> match;    // the station's ports
    std::string ui;                    // the page's [ADDRESS:]PORT, "": none
    std::vector<std::string> ui_hosts; // --ui-host: more names the page answers to
    std::vector<std::string> slots;
    std::string db;                  // the database as given, for the day's totals; "": none
    record_job job;                  // the job that set all this (job.given false: none)
    bool job_sealed = false;         // sealed by a trusted key (job.key_id), to show
    int64_t hold_after_failures = 0; // failures in a row before a bay is held, 0: never
    int64_t rated_insertions = 0;    // a bay's rated insertions, 0: no limit
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
    std::string device_program;      // zmk-device
    std::list<batch_device> running; // stable addresses for the readers
    std::mutex lock;
    std::condition_variable wake;
    std::deque<batch_message> inbox;
    int programmed = 0, ok = 0, failed = 0, worst = RUN_EXIT_DONE;
    int in_use = 0;           // ports never touched: another program held them
    int not_started = 0;      // ports left out: Ctrl-C, no serial number, the log refused
    bool interrupted = false; // a run was cut short, or Ctrl-C left a port out
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
    // Since when (the first refused try's start) and why none can be
    // reserved; `serial_stuck`: refused for BATCH_RESERVE_GIVE_UP_MS in a row.
    uint32_t serial_away_ms = 0;
    std::string serial_why;
    bool serial_stuck = false;
    bool spooling = false;              // the database takes no records now; they wait in the spool
    page_feed *page = nullptr;          // the station's page, nullptr: none
    bool paused = false;                // Stop pressed on the page: no new device until Resume
    bool stopping = false;              // Ctrl-C: no new device, the run ends
    std::set<std::string> latency_said; // ports whose slow adapter has been told of
    bays *health = nullptr;             // the station's bays, nullptr: a batch
    // What the terminal said for each reason no new device is started, kept
    // while it holds, so the page shows the same words.
    struct {
        std::string interrupt, page, serial, log;
    } halt;
};
