// Many devices at once: one zmk-device child process per device (each one
// designed run, alone in its process, so that a device that hangs or
// crashes holds up no other), their events followed here, and each end
// handed to the one keeper of records.
#pragma once

#include "app/station/state.h"

#include <string>
#include <vector>

void batch_init(batch *t, const batch_settings &set, const run_image &image, ledger *serials,
                keeper *records);
// Reserves the serial number of the device about to start on `port` (or
// takes the one its port kept while another program held it); true when
// one is held or the run carries none. False when none can be had now
// (`serial_away`, said once each way, tried again a second later; refused
// for BATCH_RESERVE_GIVE_UP_MS in a row: `serial_stuck`) or none is left
// (`serial_out`, said once). `now`: ask the database now even while it is
// away (a device was just plugged in).
bool batch_claim(batch *t, const std::string &port, const port_info *usb, ledger_claim *out,
                 bool *claimed, bool now);
// A batch whose database has refused every number for this long leaves its
// remaining ports out.
constexpr uint32_t BATCH_RESERVE_GIVE_UP_MS = 30000;
// Why no number can be had now, for a port left out: said with the database.
std::string batch_no_serial_why(const batch *t);
// Starts the run `claim` names of one device in a child; false when the
// child cannot start (then it is already counted as failed).
bool batch_start(batch *t, const std::string &port, const port_info *usb, const ledger_claim &claim,
                 bool claimed);
// Takes in what the children said, waiting at most `ms` for it; finished
// devices are recorded and reported. Redraws the live lines.
void batch_pump(batch *t, int ms);
// A port left out (Ctrl-C came first, no serial number, or the log takes no
// records): recorded and shown as not started, `why` saying why. The batch
// then ends with at least `status`; with RUN_EXIT_DONE, a request to stop
// left it out, and the stop's own status applies.
void batch_not_started(batch *t, const std::string &port, const char *why, int status);
// Asks every running child to stop at its next step; one that has not ended
// BATCH_STOP_GRACE_MS later is ended outright. They are recorded as interrupted.
void batch_kill_all(batch *t);
constexpr uint32_t BATCH_STOP_GRACE_MS = 3000;
// The numbers that ports held by other programs kept and will not use now
// go back to the ledger.
void batch_release_busy(batch *t, const std::string &port);
// One line of the station's audit trail (the log's and the database's):
// `event` at the bay `slot` ("": the station's), by the page's viewer at
// `viewer` ("": not from the page).
void batch_audit(batch *t, const std::string &event, const std::string &slot,
                 const std::string &viewer, const std::string &detail);
// The status the whole batch or station ends with.
int batch_status(const batch *t);

// How long, and how often, a port another program holds is asked for again.
constexpr uint32_t BATCH_BUSY_FOR_MS = 10000, BATCH_BUSY_EVERY_MS = 1000;
// Whether a port is waiting for another program to let go, and whether it is
// due to be tried again now.
bool batch_busy_due(const batch *t, const std::string &port, uint32_t now);

// The batch of named ports, and the station; the exit status.
int batch_run_ports(batch *t, const std::vector<std::string> &ports);
int station_run(batch *t);
