// The record's fields, in one table: the order and nesting of the record's
// JSON, the records table's columns (its CREATE TABLE and its insert), and
// where a spooled record's values are found again.
#pragma once

#include "app/database/store_sql.h"

#include <array>
#include <string>

enum record_field {
    REC_TIME,
    REC_HOST,
    REC_PORT,
    REC_USB_VID,
    REC_USB_PID,
    REC_USB_SERIAL,
    REC_USB_LOCATION,
    REC_USB_PRODUCT,
    REC_IMAGE_NAME,
    REC_IMAGE_SIZE,
    REC_IMAGE_CRC32,
    REC_IMAGE_WRITTEN_CRC32,
    REC_IMAGE_SHA256,
    REC_RESULT,
    REC_EXIT,
    REC_MESSAGE,
    REC_SECONDS,
    REC_EXCHANGES,
    REC_REPEATS,
    REC_REPLY_MS,
    REC_SERIAL_POOL,
    REC_SERIAL_AT,
    REC_SERIAL_FORMAT,
    REC_SERIAL_VALUE,
    REC_SERIAL_BYTES,
    REC_SERIAL_STATE,
    REC_JOB_NAME,
    REC_JOB_VERSION,
    REC_JOB_SHA256,
    REC_JOB_KEY_ID,
    REC_RUN,
    REC_TOOL,
    REC_FIELDS
};

struct record_column {
    record_field field;
    const char
        *group;      // the object it sits in ("usb", "image", "serial", "job"), nullptr: top level
    const char *key; // its name in the JSON
    store_param::kind_t kind;
    const char *column;   // its column in the records table, nullptr: in the JSON only
    const char *sql_type; // the column's type
};

// REC_FIELDS entries in the JSON's order; entry k describes field k.
const record_column *record_columns();

// One record as values, field by field (NULL where the record has none).
using record_row = std::array<store_param, REC_FIELDS>;

// The values of a record's JSON line (a spooled record, or one given by
// hand); false when it is no JSON object. A value missing or of another
// kind is NULL.
bool record_row_parse(const std::string &record_json, record_row *out);
