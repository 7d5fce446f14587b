#include "app/database/record_columns.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <iterator>

namespace {

using json = nlohmann::json;

constexpr store_param::kind_t TEXT = store_param::TEXT, INT = store_param::INT,
                              REAL = store_param::REAL;

constexpr record_column columns[] = {
    {REC_TIME, nullptr, "time", TEXT, "time", "TEXT"},
    {REC_HOST, nullptr, "host", TEXT, "host", "TEXT"},
    {REC_PORT, nullptr, "port", TEXT, "port", "TEXT"},
    {REC_USB_VID, "usb", "vid", TEXT, "usb_vid", "TEXT"},
    {REC_USB_PID, "usb", "pid", TEXT, "usb_pid", "TEXT"},
    {REC_USB_SERIAL, "usb", "serial", TEXT, "usb_serial", "TEXT"},
    {REC_USB_LOCATION, "usb", "location", TEXT, "usb_location", "TEXT"},
    {REC_USB_PRODUCT, "usb", "product", TEXT, nullptr, nullptr},
    {REC_IMAGE_NAME, "image", "name", TEXT, "image_name", "TEXT"},
    {REC_IMAGE_SIZE, "image", "size", INT, "image_size", "BIGINT"},
    {REC_IMAGE_CRC32, "image", "crc32", TEXT, "image_crc32", "TEXT"},
    {REC_IMAGE_WRITTEN_CRC32, "image", "written_crc32", TEXT, "image_written_crc32", "TEXT"},
    {REC_IMAGE_SHA256, "image", "sha256", TEXT, "image_sha256", "TEXT"},
    {REC_RESULT, nullptr, "result", TEXT, "result", "TEXT"},
    {REC_EXIT, nullptr, "exit", INT, "exit", "INTEGER"},
    {REC_MESSAGE, nullptr, "message", TEXT, "message", "TEXT"},
    {REC_SECONDS, nullptr, "seconds", REAL, "seconds", "DOUBLE PRECISION"},
    {REC_EXCHANGES, nullptr, "exchanges", INT, "exchanges", "BIGINT"},
    {REC_REPEATS, nullptr, "repeats", INT, "repeats", "BIGINT"},
    {REC_REPLY_MS, nullptr, "reply_ms", REAL, "reply_ms", "DOUBLE PRECISION"},
    {REC_SERIAL_POOL, "serial", "pool", TEXT, "serial_pool", "TEXT"},
    {REC_SERIAL_AT, "serial", "at", INT, "serial_at", "BIGINT"},
    {REC_SERIAL_FORMAT, "serial", "format", TEXT, "serial_format", "TEXT"},
    {REC_SERIAL_VALUE, "serial", "value", INT, "serial_value", "BIGINT"},
    {REC_SERIAL_BYTES, "serial", "bytes", TEXT, "serial_bytes", "TEXT"},
    {REC_SERIAL_STATE, "serial", "state", TEXT, "serial_state", "TEXT"},
    {REC_JOB_NAME, "job", "name", TEXT, "job_name", "TEXT"},
    {REC_JOB_VERSION, "job", "version", TEXT, "job_version", "TEXT"},
    {REC_JOB_SHA256, "job", "sha256", TEXT, "job_sha256", "TEXT"},
    {REC_JOB_KEY_ID, "job", "key_id", TEXT, "job_key_id", "TEXT"},
    {REC_RUN, nullptr, "run", TEXT, "run", "TEXT"},
    {REC_TOOL, nullptr, "tool", TEXT, nullptr, nullptr},
};

// Callers index the table by field.
constexpr bool columns_in_field_order()
{
    for (size_t k = 0; k < std::size(columns); ++k)
        if (columns[k].field != record_field(k))
            return false;
    return std::size(columns) == REC_FIELDS;
}
static_assert(columns_in_field_order());

const json *json_at(const json &j, const record_column &c)
{
    const json *at = &j;
    for (const char *key : {c.group, c.key}) {
        if (!key)
            continue;
        if (!at->is_object() || at->find(key) == at->end())
            return nullptr;
        at = &*at->find(key);
    }
    return at->is_null() ? nullptr : at;
}

// Text columns keep any value as its JSON text; numbers only numbers that fit.
store_param json_param(const json *v, store_param::kind_t kind)
{
    if (!v)
        return store_null();
    if (kind == store_param::TEXT)
        return store_text(v->is_string() ? v->get<std::string>()
                                         : v->dump(-1, ' ', false, json::error_handler_t::replace));
    if (kind == store_param::REAL && v->is_number())
        return store_real(v->get<double>());
    if (v->is_number_unsigned() && v->get<uint64_t>() <= uint64_t(INT64_MAX))
        return store_int(int64_t(v->get<uint64_t>()));
    if (v->is_number_integer() && !v->is_number_unsigned())
        return store_int(v->get<int64_t>());
    return store_null();
}

} // namespace

const record_column *record_columns() { return columns; }

bool record_row_parse(const std::string &record_json, record_row *out)
{
    const json j = json::parse(record_json, nullptr, false);
    if (!j.is_object())
        return false;
    for (const record_column &c : columns)
        (*out)[c.field] = json_param(json_at(j, c), c.kind);
    return true;
}
