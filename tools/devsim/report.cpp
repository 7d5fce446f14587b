// The session report: one JSON object, one key a line at the top level and
// each value on its key's line, so that scripts can pick a value with grep.
#include "tools/devsim/devsim.h"

#include "tools/devsim/adapter.h"
#include "tools/devsim/session.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace {

using json = nlohmann::ordered_json;

// A value on one line, with a space after every ':' and ','.
std::string one_line(const json &v)
{
    if (!v.is_object() && !v.is_array())
        return v.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string out = v.is_object() ? "{" : "[";
    const char *sep = "";
    for (auto it = v.begin(); it != v.end(); ++it, sep = ", ") {
        out += sep;
        if (v.is_object())
            out += json(it.key()).dump() + ": ";
        out += one_line(*it);
    }
    return out + (v.is_object() ? "}" : "]");
}

std::string layout(const json &report)
{
    std::string out = "{\n";
    const char *sep = "";
    for (auto it = report.begin(); it != report.end(); ++it, sep = ",\n")
        out += sep + std::string("  ") + json(it.key()).dump() + ": " + one_line(*it);
    return out + "\n}\n";
}

json time_value(const device &d)
{
    if (!d.time_set)
        return nullptr;
    const auto &r = d.time_record;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", 2000 + r[0], r[1], r[2], r[3],
                  r[4], r[5]);
    return text;
}

// Times counted from `origin_us`; `end_us` is when the session ended.
json line_fault_value(const line_fault_state &s, int64_t origin_us, int64_t end_us)
{
    if (s.cfg.kind == DEVSIM_LINE_NONE)
        return nullptr;
    auto ms_at = [origin_us](int64_t us) { return std::max<int64_t>(us - origin_us, 0) / 1000; };
    json started = nullptr, ended = nullptr;
    if (s.started_us >= 0) {
        started = ms_at(s.started_us);
        int64_t stop = s.started_us + int64_t(s.cfg.ms) * 1000;
        if (s.cfg.ms && stop <= end_us)
            ended = ms_at(stop);
    }
    return {{"kind", devsim_line_names[size_t(s.cfg.kind)]},
            {"after", s.cfg.after},
            {"lasts_ms", s.cfg.ms},
            {"started_ms", started},
            {"ended_ms", ended},
            {"bytes", s.bytes},
            {"frames_ignored", s.ignored},
            {"frames_refused", s.refused},
            {"frames_queued", s.queued}};
}

template <size_t N>
json counts(const std::array<const char *, N> &names, const std::array<uint32_t, N> &values)
{
    json j = json::object();
    for (size_t i = 0; i < N; ++i)
        j[names[i]] = values[i];
    return j;
}

json faults_value(const fault_state &f)
{
    json j = counts(devsim_fault_names, f.counts);
    j["bit_errors"] = f.bit_errors;
    j["silent"] = f.silent;
    j["hangup"] = f.hangups;
    return j;
}

// What the device did: commands, answers, faults, violations, the flash.
void add_device(json &j, const devsim_t *t, const devsim_end *end)
{
    const device &d = t->dev;
    j["exchanges"] = t->rx.frames;
    j["commands"] = counts(cmd_names, d.commands);
    j["repeats"] = d.repeats;
    j["restarts"] = d.restarts;
    j["faults"] = faults_value(t->faults);
    j["line_fault"] = line_fault_value(t->line, end->start_us, end->start_us + end->elapsed_us);
    j["answers"] = counts(answer_text, t->answers);
    // Every "ACK" the host cannot have received must come back as a repeat.
    j["acks_lost"] = t->acks_lost;
    j["mode"] = t->packets.mode == DEVSIM_TAGGED ? "tagged" : "plain";
    j["switches"] = t->packets.switches;
    j["violations"] = t->log.texts;
    j["violation_count"] = t->log.count;
    j["erased"] =
        d.seq == SEQ_START ? json(nullptr) : json{{"start", d.erase_start}, {"end", d.erase_end}};
    char crc[12];
    std::snprintf(crc, sizeof crc, "%08x", device_written_crc(&d));
    j["crc32"] = crc;
    j["time_record"] = time_value(d);
}

// How long it took, against the wire and the least time any host could take.
void add_times(json &j, const devsim_t *t, const devsim_end *end)
{
    const uint32_t baud = t->cfg.baud;
    const uint64_t rx = t->rx.rx_bytes, tx = t->tx_bytes;
    const int64_t floor_us = int64_t(t->dev.erases) * t->cfg.erase_ms * 1000 + t->reply_floor_us;
    j["elapsed_ms"] = uint64_t(std::max<int64_t>(end->elapsed_us, 0) / 1000);
    j["wire_ms"] = baud ? (rx + tx) * 10'000ull / baud : 0;
    j["floor_ms"] = uint64_t(floor_us / 1000);
    j["line_ms"] = end->line_us < 0 ? json(nullptr) : json(uint64_t(end->line_us / 1000));
    j["wire_bytes"] = {{"from_host", rx}, {"to_host", tx}};
    j["baud"] = baud;
}

// The adapter's latency timer as laid out and as in force at the end, and
// what sent its held bytes on.
json adapter_value(const adapter *a)
{
    if (!a)
        return nullptr;
    return {
        {"latency_ms", a->latency_ms}, {"initial_ms", a->started_ms},
        {"packet", a->packet},         {"sysfs", a->file.empty() ? json(nullptr) : json(a->file)},
        {"timed", a->timed},           {"full", a->full}};
}

std::string hex_address(uint32_t address)
{
    char text[12];
    std::snprintf(text, sizeof text, "0x%x", address);
    return text;
}

// The flash bytes of each shown range in lower-case hex; null for one that
// is not inside the flash.
json shown_value(const devsim_t *t, const devsim_end *end)
{
    const auto &flash = t->dev.flash;
    json j = json::array();
    for (const auto &r : end->show) {
        json hex = nullptr;
        if (uint64_t(r.address) + r.length <= flash.size()) {
            std::string text;
            char two[3];
            for (uint32_t i = 0; i < r.length; ++i) {
                std::snprintf(two, sizeof two, "%02x", flash[r.address + i]);
                text += two;
            }
            hex = text;
        }
        j.push_back({{"address", hex_address(r.address)}, {"hex", hex}});
    }
    return j;
}

json skipped_value(const devsim_end *end)
{
    json j = json::array();
    for (const auto &r : end->expect_skip)
        j.push_back(hex_address(r.address) + ":" + std::to_string(r.length));
    return j;
}

// The image with the skipped ranges taken from the flash, so that only the
// other bytes decide the comparison.
bool flash_matches(const devsim_t *t, const devsim_end *end)
{
    const device &d = t->dev;
    std::vector<uint8_t> want = *end->expect;
    const uint64_t base = d.erase_start, top = base + want.size();
    for (const auto &r : end->expect_skip) {
        const uint64_t lo = std::max<uint64_t>(r.address, base);
        const uint64_t hi =
            std::min({uint64_t(r.address) + r.length, top, uint64_t(d.flash.size())});
        if (lo < hi)
            std::copy(d.flash.begin() + int64_t(lo), d.flash.begin() + int64_t(hi),
                      want.begin() + int64_t(lo - base));
    }
    return device_flash_matches(&d, want);
}

} // namespace

bool devsim_ok(const devsim_t *t, const devsim_end *end)
{
    return t->dev.seq == SEQ_RESET && t->log.count == 0 && (!end->expect || flash_matches(t, end));
}

std::string devsim_report(const devsim_t *t, const devsim_end *end)
{
    json j;
    j["ok"] = devsim_ok(t, end);
    j["ended_with_reset"] = t->dev.seq == SEQ_RESET;
    j["end"] = end->how;
    j["flash_matches"] = end->expect ? json(flash_matches(t, end)) : json(nullptr);
    j["expect_skipped"] = skipped_value(end);
    add_device(j, t, end);
    add_times(j, t, end);
    j["adapter"] = adapter_value(end->usb_adapter);
    j["shown"] = shown_value(t, end); // last: it may be long
    return layout(j);
}
