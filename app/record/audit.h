// The audit trail: what was done to a station (a job loaded, a bay held or
// cleared, the station stopped or resumed) as one log line and one row of
// the database's audit table. A log line of the trail is an object whose
// first key is "audit"; a record has none, so readers of records skip it.
#pragma once

#include "app/database/store.h"
#include "app/record/record.h"

#include <string>

struct audit {
    store_audit_row row;
    std::string json; // one line, without its line end
};

// `event` happened now at `station`: at the bay `slot` ("": the station's),
// pressed by the page's viewer at `viewer` ("": not from the page); `job`
// (may be nullptr) is the job loaded.
audit audit_make(const std::string &station, const std::string &event, const std::string &slot,
                 const std::string &viewer, const std::string &detail,
                 const record_job *job = nullptr);
