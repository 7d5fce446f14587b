// One device's run to its end: the engine stepped until the device is
// programmed, the engine judges the run failed, or a request to stop comes;
// its events shown as the dialog's console lines, one live line on a
// terminal, or (for a batch's parent) protocol lines; the port's own
// settings put back whatever happened.
#pragma once

#include "app/run/end.h"
#include "app/run/image.h"
#include "app/run/watch.h"
#include "app/verdict.h"

#include <functional>
#include <string>

struct run_options {
    std::string port;
    double timeout_s = 30;        // 0: wait for ever
    double erase_timeout_s = 300; // an erase answered "not yet"; 0: for ever
    bool quiet = false;
    bool child = false; // events and the end as protocol lines on standard output
};

// The run's limits from its options.
zmk_limits run_limits(const run_options &opt);

// Runs the device on opt.port with `image`; `watch` (initialised by the
// caller, with the serial number's offset) follows it. `between` is called
// between two steps. A port that will not open, a failure and a stop are
// told on standard error (a child tells its parent instead).
run_end run_device(const run_options &opt, const run_image &image, run_watch *watch,
                   const std::function<void()> &between = {});
