// Serial numbers written into each device's copy of the image: the format
// and place of the number, and the range or list they come from.
#pragma once

#include "framework/status.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum serial_kind { SERIAL_U32LE, SERIAL_U32BE, SERIAL_U64LE, SERIAL_U64BE, SERIAL_ASCII };

struct serial_format {
    serial_kind kind;
    uint32_t width; // bytes written
};

// The serial-number options as given (numbers in decimal or 0x hex; ""
// where not given).
struct serial_settings {
    std::string at, format, start, step, end, list, pool;
    bool new_pool = false;      // make the pool (and the SQLite file), never use one there
    bool allow_overlap = false; // a new pool may share numbers with another
};

// The numbers of one pool and where they go. Values never exceed INT64_MAX,
// which every database keeps as an integer. What is not given comes from the
// pool in the ledger (ledger_open).
struct serial_plan {
    bool given = false; // the run writes serial numbers
    bool new_pool = false, allow_overlap = false;
    bool at_given = false, format_given = false, numbers = false;
    uint64_t at = 0; // byte offset into the image
    std::string format_name = "u32le";
    serial_format format{SERIAL_U32LE, 4};
    std::string pool = "default";
    bool list = false;
    uint64_t start = 0, step = 1, last = 0;
    std::vector<uint64_t> values; // the list, in order
};

constexpr uint64_t SERIAL_MAX = 0x7fffffffffffffffull;

// "123" or "0x7b"; false for anything else (signs, spaces, overflow).
bool serial_parse_number(const std::string &text, uint64_t *out);
// "u32le", "u32be", "u64le", "u64be" or "ascii:N" (N from 1 to 20).
bool serial_parse_format(const std::string &text, serial_format *out);
// The largest value the format holds (never above SERIAL_MAX).
uint64_t serial_format_max(const serial_format &f);
// The number's bytes; false when it does not fit the format.
bool serial_encode(const serial_format &f, uint64_t value, uint8_t *dest);
// Bytes as lower-case hex, and back (false on a malformed text).
std::string serial_hex(const uint8_t *bytes, size_t n);
bool serial_unhex(const std::string &text, std::vector<uint8_t> *out);

// The plan from the options and the image's size (`have_db`: a database
// keeps the ledger); LINE_REFUSED with the reason.
line_status serial_plan_make(const serial_settings &opt, bool have_db, uint32_t image_size,
                             serial_plan *out, std::string *why);
// Whether the number's bytes at its offset fit in an image of `image_size`
// bytes; LINE_REFUSED with the reason.
line_status serial_plan_fits(const serial_plan &p, uint32_t image_size, std::string *why);
