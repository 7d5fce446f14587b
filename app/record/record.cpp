#include "app/cli/record.h"

#include "platform/files.h"
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

json text_or_null(const char *s) { return s[0] ? json(s) : json(nullptr); }

json hex_or_null(uint16_t id)
{
    if (!id)
        return nullptr;
    char text[8];
    std::snprintf(text, sizeof text, "%04x", unsigned(id));
    return text;
}

json usb_json(const port_info &u)
{
    return json{{"vid", hex_or_null(u.vid)},
                {"pid", hex_or_null(u.pid)},
                {"serial", text_or_null(u.serial)},
                {"location", text_or_null(u.location)},
                {"product", text_or_null(u.product)}};
}

json serial_json(const cli_record_serial &s)
{
    if (s.state.empty())
        return nullptr;
    return json{{"pool", s.pool}, {"value", s.value}, {"bytes", s.bytes}, {"state", s.state}};
}

} // namespace

std::string cli_record_json(const cli_record &r)
{
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", unsigned(r.image_crc32));
    const json j{
        {"time", iso_utc(r.start)},
        {"host", r.host},
        {"port", r.port},
        {"usb", usb_json(r.usb)},
        {"image", {{"name", r.image_name}, {"size", r.image_size}, {"crc32", crc}}},
        {"result", r.result},
        {"exit", r.exit},
        {"message", text_or_null(r.message.c_str())},
        {"seconds", double(int64_t(r.seconds * 100 + 0.5)) / 100},
        {"exchanges", r.exchanges},
        {"repeats", r.repeats},
        {"serial", serial_json(r.serial)},
        {"run", text_or_null(r.run.c_str())},
        {"tool", "zmk-cli " ZMK_VERSION},
    };
    // Names and texts from the system may hold anything; never fail on them.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

namespace {

int failed(std::string *why)
{
    char text[160] = "";
    platform_error_text(platform_last_error(), text, sizeof text);
    std::string t = text;
    while (!t.empty() && std::strchr("\r\n. ", t.back()))
        t.pop_back();
    if (why)
        *why = t.empty() ? "the system refused it" : t;
    return -1;
}

} // namespace

int cli_record_append(const std::string &path, const cli_record &r, std::string *why)
{
    const std::string line = cli_record_json(r) + "\n";
    return platform_append_durable(path.c_str(), line.data(), line.size()) == 0 ? 0 : failed(why);
}

int cli_record_check(const std::string &path, std::string *why)
{
    return platform_append_check(path.c_str()) == 0 ? 0 : failed(why);
}
