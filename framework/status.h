// How a step of the production line went, in one shape for all its parts
// (database, ledger, records, station, page): a status, and beside it, when
// it is not LINE_OK, the reason in words (`std::string *why`). Exit statuses
// are the command line's alone, made from these at its edge.
#pragma once

enum line_status {
    LINE_OK = 0,
    LINE_AWAY = 1,      // what it needs cannot be reached now: try again later
    LINE_EXHAUSTED = 2, // nothing is left to hand out
    LINE_REFUSED = 3,   // refused as given (bad input, another definition, a broken record)
};
