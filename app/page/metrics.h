// The station's counts for a scraper: the devices that ended by result and
// by slot, what became of their serial numbers, whether their records were
// kept, how long a run took, and what the station is doing now, as
// Prometheus text (format 0.0.4), every series labelled by the station.
#pragma once

#include <string>

struct metrics;

// The run-time histogram's upper bounds, in seconds (+Inf follows).
constexpr double METRICS_RUN_BUCKETS[] = {1, 2, 5, 10, 15, 20, 30, 60, 120, 300};
// The reply-time histogram's, in seconds: a direct line or a lowered adapter
// timer below 2 ms, a default USB adapter timer (16 ms) at 20 ms.
constexpr double METRICS_REPLY_BUCKETS[] = {0.001, 0.002, 0.004, 0.008, 0.012, 0.02, 0.05, 0.1};

metrics *metrics_new(const std::string &station);
void metrics_free(metrics *t);
// One device's run ended: its slot's name, its record's result word, how
// long it ran, what became of its number ("used", "spoiled", "returned";
// "": it had none), whether every store kept its record, and its replies'
// median wait to start (-1: none timed, not counted).
void metrics_end(metrics *t, const std::string &slot, const std::string &result_word,
                 double seconds, const std::string &serial_state, bool record_kept,
                 double reply_ms = -1);
// The whole exposition: the counts so far, the devices running now, the
// bays held by other programs, and whether the station starts devices.
std::string metrics_text(const metrics *t, int running, int held, bool starting);
// A label's value as written between its quotes: backslash, quote and line
// end escaped, bytes that are no UTF-8 replaced by U+FFFD.
std::string metrics_label(const std::string &value);
