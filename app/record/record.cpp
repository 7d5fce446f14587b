// A run's record made once: its row by the table of fields, its JSON line
// from that row, and the log's durable appends.
#include "app/record/record.h"

#include "platform/files.h"
#include "platform/process.h"
#include "platform/syserror.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>

#ifndef ZMK_VERSION
#define ZMK_VERSION "0"
#endif

namespace {

using json = nlohmann::ordered_json;

std::string iso_utc(std::time_t t)
{
    char text[32] = "";
    if (const std::tm *utc = std::gmtime(&t))
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

store_param text_or_null(const std::string &s) { return s.empty() ? store_null() : store_text(s); }

store_param hex(uint32_t v, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, unsigned(v));
    return store_text(text);
}

store_param hex_or_null(uint16_t id) { return id ? hex(id, 4) : store_null(); }

void put_usb(record_row &r, const port_info &u)
{
    r[REC_USB_VID] = hex_or_null(u.vid);
    r[REC_USB_PID] = hex_or_null(u.pid);
    r[REC_USB_SERIAL] = text_or_null(u.serial);
    r[REC_USB_LOCATION] = text_or_null(u.location);
    r[REC_USB_PRODUCT] = text_or_null(u.product);
}

void put_serial(record_row &r, const record_facts &f)
{
    if (f.serial_state.empty())
        return;
    r[REC_SERIAL_POOL] = store_text(f.serial_pool);
    r[REC_SERIAL_AT] = store_int(int64_t(f.serial_at));
    r[REC_SERIAL_FORMAT] = store_text(f.serial_format);
    r[REC_SERIAL_VALUE] = store_int(int64_t(f.serial_value));
    r[REC_SERIAL_BYTES] = store_text(f.serial_bytes);
    r[REC_SERIAL_STATE] = store_text(f.serial_state);
}

void put_job(record_row &r, const record_job &j)
{
    if (!j.given)
        return;
    r[REC_JOB_NAME] = store_text(j.name);
    r[REC_JOB_VERSION] = store_text(j.version);
    r[REC_JOB_SHA256] = store_text(j.sha256);
    r[REC_JOB_KEY_ID] = text_or_null(j.key_id);
}

json value_of(const store_param &p)
{
    switch (p.kind) {
    case store_param::INT: return p.i;
    case store_param::REAL: return p.r;
    case store_param::TEXT: return p.s;
    default: return nullptr;
    }
}

} // namespace

record record_make(const record_facts &f)
{
    record out;
    record_row &r = out.row;
    r[REC_TIME] = store_text(iso_utc(f.start));
    r[REC_HOST] = store_text(f.host);
    r[REC_PORT] = store_text(f.port);
    put_usb(r, f.usb);
    r[REC_IMAGE_NAME] = store_text(f.image_name);
    r[REC_IMAGE_SIZE] = store_int(f.image_size);
    r[REC_IMAGE_CRC32] = hex(f.image_crc32, 8);
    r[REC_IMAGE_WRITTEN_CRC32] = hex(f.written_crc32, 8);
    r[REC_IMAGE_SHA256] = text_or_null(f.image_sha256);
    r[REC_RESULT] = store_text(run_result_word(f.end.result));
    r[REC_EXIT] = store_int(f.end.exit);
    r[REC_MESSAGE] = text_or_null(f.end.message);
    r[REC_SECONDS] = store_real(double(int64_t(f.end.seconds * 100 + 0.5)) / 100);
    r[REC_EXCHANGES] = store_int(f.end.exchanges);
    r[REC_REPEATS] = store_int(f.end.repeats);
    r[REC_REPLY_MS] = f.end.reply_ms < 0
                          ? store_null()
                          : store_real(double(int64_t(f.end.reply_ms * 10 + 0.5)) / 10);
    put_serial(r, f);
    put_job(r, f.job);
    r[REC_RUN] = text_or_null(f.run);
    r[REC_TOOL] = store_text("zmk-cli " ZMK_VERSION);
    out.json = record_json_of(r);
    return out;
}

std::string record_json_of(const record_row &row)
{
    json j = json::object();
    const record_column *columns = record_columns();
    for (int k = 0; k < REC_FIELDS; ++k) {
        const record_column &c = columns[k];
        if (c.group)
            j[c.group][c.key] = value_of(row[c.field]);
        else
            j[c.key] = value_of(row[c.field]);
    }
    // A run without a serial number has none, not one of nulls.
    if (row[REC_SERIAL_STATE].kind == store_param::NUL)
        j["serial"] = nullptr;
    // Nor a run without a job.
    if (row[REC_JOB_NAME].kind == store_param::NUL)
        j["job"] = nullptr;
    // Names and texts from the system may hold anything; never fail on them.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string record_run_name(const std::string &station)
{
    static unsigned count = 0;
    char text[64];
    std::snprintf(text, sizeof text, "-%lld-%lld-%u", proc_self_id(),
                  static_cast<long long>(std::time(nullptr)), ++count);
    return station + text;
}

std::string record_serial_words(uint64_t value, const std::string &state)
{
    std::string words = "serial " + std::to_string(value) + " " + state;
    if (state == "returned")
        words += ": the next device gets it";
    else if (state == "spoiled")
        words += ": never handed out again";
    return words;
}

namespace {

line_status failed(std::string *why)
{
    char text[160] = "";
    platform_error_text(platform_last_error(), text, sizeof text);
    std::string t = text;
    while (!t.empty() && std::strchr("\r\n. ", t.back()))
        t.pop_back();
    *why = t.empty() ? "the system refused it" : t;
    return LINE_AWAY;
}

} // namespace

line_status record_log_append(const std::string &path, const std::string &json, std::string *why)
{
    const std::string line = json + "\n";
    return platform_append_durable(path.c_str(), line.data(), line.size()) == 0 ? LINE_OK
                                                                                : failed(why);
}

line_status record_log_check(const std::string &path, std::string *why)
{
    return platform_append_check(path.c_str()) == 0 ? LINE_OK : failed(why);
}
