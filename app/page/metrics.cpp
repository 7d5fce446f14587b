// The counts in memory and their text. The counters only grow while the
// station runs; a scraper sees them start again when the station does.
#include "app/page/metrics.h"

#include "framework/zassert.h"

#include <charconv>
#include <cstdint>
#include <map>
#include <utility>

struct metrics {
    std::string station; // as its label's value, escaped once
    std::map<std::string, uint64_t> by_result;
    std::map<std::pair<std::string, std::string>, uint64_t> by_slot;
    std::map<std::string, uint64_t> serials{{"used", 0}, {"spoiled", 0}, {"returned", 0}};
    uint64_t kept = 0, lost = 0;
    uint64_t buckets[std::size(METRICS_RUN_BUCKETS)] = {};
    uint64_t runs = 0;
    double seconds = 0;
    uint64_t reply_buckets[std::size(METRICS_REPLY_BUCKETS)] = {};
    uint64_t replies = 0;
    double reply_seconds = 0;
};

namespace {

// The length of the UTF-8 sequence at `s`, 0 when it is none (overlong,
// a surrogate, beyond U+10FFFF or cut short).
size_t utf8_length(const unsigned char *s, size_t left)
{
    if (s[0] < 0x80)
        return 1;
    const size_t n = s[0] >= 0xF0 ? 4 : s[0] >= 0xE0 ? 3 : s[0] >= 0xC2 ? 2 : 0;
    if (n == 0 || n > left || s[0] > 0xF4)
        return 0;
    for (size_t i = 1; i < n; ++i)
        if ((s[i] & 0xC0) != 0x80)
            return 0;
    if ((s[0] == 0xE0 && s[1] < 0xA0) || (s[0] == 0xED && s[1] >= 0xA0) ||
        (s[0] == 0xF0 && s[1] < 0x90) || (s[0] == 0xF4 && s[1] >= 0x90))
        return 0;
    return n;
}

std::string number(double v)
{
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, v);
    ZMK_ASSERT(r.ec == std::errc());
    return std::string(text, r.ptr);
}

void head(std::string *out, const char *name, const char *type, const char *help)
{
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// One sample: `labels` already written (`key="value"`), after the station's.
void sample(std::string *out, const metrics *t, const std::string &name, const std::string &labels,
            const std::string &value)
{
    *out += name + "{station=\"" + t->station + "\"" + (labels.empty() ? "" : ",") + labels + "} " +
            value + "\n";
}

void counts(std::string *out, const metrics *t)
{
    head(out, "zmk_devices_total", "counter", "Devices whose run ended, by the record's result.");
    for (const auto &[result, n] : t->by_result)
        sample(out, t, "zmk_devices_total", "result=\"" + result + "\"", std::to_string(n));
    head(out, "zmk_slot_devices_total", "counter",
         "Devices whose run ended, by slot and the record's result.");
    for (const auto &[key, n] : t->by_slot)
        sample(out, t, "zmk_slot_devices_total",
               "slot=\"" + key.first + "\",result=\"" + key.second + "\"", std::to_string(n));
    head(out, "zmk_serial_numbers_total", "counter",
         "Serial numbers whose device ended: used, spoiled (sent, not programmed) or returned.");
    for (const auto &[event, n] : t->serials)
        sample(out, t, "zmk_serial_numbers_total", "event=\"" + event + "\"", std::to_string(n));
    head(out, "zmk_records_total", "counter",
         "Records of ended runs, by whether every store kept them.");
    sample(out, t, "zmk_records_total", "kept=\"true\"", std::to_string(t->kept));
    sample(out, t, "zmk_records_total", "kept=\"false\"", std::to_string(t->lost));
}

// A histogram's series: `bounds` and the counts at each (not yet summed).
template <size_t N>
void histogram(std::string *out, const metrics *t, const std::string &name,
               const double (&bounds)[N], const uint64_t (&counts)[N], uint64_t count, double sum)
{
    uint64_t below = 0;
    for (size_t i = 0; i < N; ++i) {
        below += counts[i];
        sample(out, t, name + "_bucket", "le=\"" + number(bounds[i]) + "\"", std::to_string(below));
    }
    sample(out, t, name + "_bucket", "le=\"+Inf\"", std::to_string(count));
    sample(out, t, name + "_sum", "", number(sum));
    sample(out, t, name + "_count", "", std::to_string(count));
}

void histograms(std::string *out, const metrics *t)
{
    head(out, "zmk_run_seconds", "histogram", "How long each device's run took, in seconds.");
    histogram(out, t, "zmk_run_seconds", METRICS_RUN_BUCKETS, t->buckets, t->runs, t->seconds);
    head(out, "zmk_reply_seconds", "histogram",
         "Each run's median wait from a command's end to its reply's first byte, in seconds.");
    histogram(out, t, "zmk_reply_seconds", METRICS_REPLY_BUCKETS, t->reply_buckets, t->replies,
              t->reply_seconds);
}

// Counts `v` in the first bucket whose bound it does not pass.
template <size_t N> void observe(const double (&bounds)[N], uint64_t (&counts)[N], double v)
{
    for (size_t i = 0; i < N; ++i)
        if (v <= bounds[i]) {
            ++counts[i];
            return;
        }
}

} // namespace

std::string metrics_label(const std::string &value)
{
    std::string out;
    const auto *s = reinterpret_cast<const unsigned char *>(value.data());
    for (size_t i = 0; i < value.size();) {
        const size_t n = utf8_length(s + i, value.size() - i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        const char c = value[i];
        out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : value.substr(i, n);
        i += n;
    }
    return out;
}

metrics *metrics_new(const std::string &station)
{
    auto *t = new metrics;
    t->station = metrics_label(station);
    return t;
}

void metrics_free(metrics *t) { delete t; }

void metrics_end(metrics *t, const std::string &slot, const std::string &result_word,
                 double seconds, const std::string &serial_state, bool record_kept, double reply_ms)
{
    const std::string result = metrics_label(result_word);
    ++t->by_result[result];
    ++t->by_slot[{metrics_label(slot), result}];
    if (!serial_state.empty())
        ++t->serials[metrics_label(serial_state)];
    ++(record_kept ? t->kept : t->lost);
    seconds = seconds > 0 ? seconds : 0;
    observe(METRICS_RUN_BUCKETS, t->buckets, seconds);
    ++t->runs;
    t->seconds += seconds;
    if (reply_ms >= 0) {
        observe(METRICS_REPLY_BUCKETS, t->reply_buckets, reply_ms / 1000);
        ++t->replies;
        t->reply_seconds += reply_ms / 1000;
    }
}

std::string metrics_text(const metrics *t, int running, int held, bool starting)
{
    std::string out;
    counts(&out, t);
    histograms(&out, t);
    head(&out, "zmk_running_devices", "gauge", "Devices being programmed now.");
    sample(&out, t, "zmk_running_devices", "", std::to_string(running));
    head(&out, "zmk_held_bays", "gauge", "Bays whose port another program holds.");
    sample(&out, t, "zmk_held_bays", "", std::to_string(held));
    head(&out, "zmk_starting", "gauge", "1 while the station starts devices, 0 while stopped.");
    sample(&out, t, "zmk_starting", "", starting ? "1" : "0");
    return out;
}
