// The station's page beside the loop: the server runs on its own thread and
// is handed finished documents only, so no viewer can hold up a device. Each
// tick the station's state is copied into a snapshot, which the page's code
// reads and never changes. Every call takes nullptr (no page) too.
#pragma once

#include "app/station/state.h"

#include <string>

// Serves the page from the start: LINE_OK, LINE_REFUSED (a bad --slot) or
// LINE_AWAY (an address that cannot be served), with the reason.
line_status page_feed_start(batch *g, page_feed **out, std::string *why);
void page_feed_record(page_feed *t, const std::string &record_json);
void page_feed_end(page_feed *t, const batch *g, const batch_device &d, const run_end &e,
                   const char *record_why);
// The ports the station sees now.
void page_feed_ports(page_feed *t, const port_info *present, int n);
// At most every 100 ms (at once after a device ended): the snapshot to the
// page, and Stop or Resume from it into `paused`.
void page_feed_update(page_feed *t, batch *g);
void page_feed_free(page_feed *t);
