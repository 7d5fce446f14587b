// The job file's keys, their kinds and where a mistake is: every key is
// known, of its kind, and the required ones are there, or the job is refused
// with the key's name and line.
#include "app/job/job.h"

#include "app/database/store.h"
#include "app/job/digest.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

// Larger files are no job.
constexpr std::streamoff job_max = 1024 * 1024;

enum rule_kind { STRING, COUNT, SECONDS, STRINGS, TABLE, SLOTS };

struct key_rule {
    const char *table; // "": the top level
    const char *key;
    rule_kind kind;
    bool required;
};

constexpr key_rule rules[] = {
    {"", "name", STRING, true},
    {"", "version", STRING, true},
    {"", "image", TABLE, true},
    {"", "serial", TABLE, false},
    {"", "station", TABLE, false},
    {"", "slots", SLOTS, false},
    {"image", "file", STRING, true},
    {"image", "sha256", STRING, true},
    {"serial", "at", COUNT, false},
    {"serial", "format", STRING, false},
    {"serial", "start", COUNT, false},
    {"serial", "step", COUNT, false},
    {"serial", "end", COUNT, false},
    {"serial", "list", STRING, false},
    {"serial", "pool", STRING, false},
    {"station", "db", STRING, false},
    {"station", "match", STRINGS, false},
    {"station", "timeout", SECONDS, false},
    {"station", "erase_timeout", SECONDS, false},
    {"station", "hold_after_failures", COUNT, false},
    {"station", "rated_insertions", COUNT, false},
};

const char *kind_words(rule_kind k)
{
    switch (k) {
    case STRING: return "a string";
    case COUNT: return "a whole number, 0 or more";
    case SECONDS: return "a number of seconds, 0 or more";
    case STRINGS: return "a list of strings";
    default: return "a table";
    }
}

struct reader {
    const std::string &path;
    std::string *why;
    bool fail(uint32_t line, const std::string &text) const
    {
        *why = path + ":" + std::to_string(line ? line : 1) + ": " + text;
        return false;
    }
};

const key_rule *rule_of(const std::string &table, std::string_view key)
{
    for (const key_rule &r : rules)
        if (table == r.table && key == r.key)
            return &r;
    return nullptr;
}

bool fits(rule_kind kind, const toml::node &v)
{
    switch (kind) {
    case STRING: return v.is_string();
    case COUNT: return v.is_integer() && v.as_integer()->get() >= 0;
    case SECONDS: {
        const double s = v.is_integer()          ? double(v.as_integer()->get())
                         : v.is_floating_point() ? v.as_floating_point()->get()
                                                 : -1;
        return s >= 0 && s < 1e9;
    }
    case STRINGS: // an empty list is no list of anything else
        return v.is_array() &&
               (v.as_array()->empty() || v.as_array()->is_homogeneous(toml::node_type::string));
    default: return v.is_table();
    }
}

std::string qualified(const std::string &table, std::string_view key)
{
    return table.empty() ? std::string(key) : table + "." + std::string(key);
}

bool check_slots(const reader &rd, const toml::table &t)
{
    for (auto &&[k, v] : t)
        if (!v.is_string() || v.as_string()->get().empty())
            return rd.fail(k.source().begin.line,
                           "slots." + std::string(k.str()) + " must be a pattern (a string)");
    return true;
}

bool check_table(const reader &rd, const toml::table &t, const std::string &name)
{
    for (auto &&[k, v] : t) {
        const key_rule *r = rule_of(name, k.str());
        const uint32_t line = k.source().begin.line;
        if (!r)
            return rd.fail(line, "unknown key " + qualified(name, k.str()));
        if (!fits(r->kind, v))
            return rd.fail(line, qualified(name, k.str()) + " must be " + kind_words(r->kind));
        if (r->kind == TABLE && !check_table(rd, *v.as_table(), r->key))
            return false;
        if (r->kind == SLOTS && !check_slots(rd, *v.as_table()))
            return false;
    }
    for (const key_rule &r : rules)
        if (name == r.table && r.required && !t.contains(r.key))
            return rd.fail(name.empty() ? 1 : t.source().begin.line,
                           qualified(name, r.key) + " is missing");
    return true;
}

// A file the job names, relative to the job's own folder.
std::string beside(const std::string &job_path, const std::string &file)
{
    const std::filesystem::path p(file);
    if (file.empty() || p.is_absolute())
        return file;
    return (std::filesystem::path(job_path).parent_path() / p).string();
}

std::string text_of(const toml::node_view<const toml::node> v) { return v.value_or(std::string()); }

std::string number_of(const toml::node_view<const toml::node> v)
{
    return v.is_integer() ? std::to_string(v.as_integer()->get()) : "";
}

double seconds_of(const toml::node_view<const toml::node> v, double otherwise)
{
    if (v.is_integer())
        return double(v.as_integer()->get());
    return v.is_floating_point() ? v.as_floating_point()->get() : otherwise;
}

void take_serial(const toml::table &doc, job *out)
{
    const auto s = doc["serial"];
    out->serial_given = s.is_table();
    out->serial.at = number_of(s["at"]);
    out->serial.format = text_of(s["format"]);
    out->serial.start = number_of(s["start"]);
    out->serial.step = number_of(s["step"]);
    out->serial.end = number_of(s["end"]);
    out->serial.list = beside(out->path, text_of(s["list"]));
    out->serial.pool = text_of(s["pool"]);
}

void take_station(const toml::table &doc, job *out)
{
    const auto st = doc["station"];
    const std::string db = text_of(st["db"]);
    out->db = store_is_server_name(db) ? db : beside(out->path, db);
    if (const toml::array *m = st["match"].as_array())
        for (const toml::node &p : *m)
            out->match.push_back(p.value_or(std::string()));
    out->timeout_s = seconds_of(st["timeout"], 30);
    out->erase_timeout_s = seconds_of(st["erase_timeout"], 300);
    out->hold_after_failures = st["hold_after_failures"].value_or(int64_t(0));
    out->rated_insertions = st["rated_insertions"].value_or(int64_t(0));
    if (const toml::table *slots = doc["slots"].as_table())
        for (auto &&[k, v] : *slots)
            out->slots.push_back(std::string(k.str()) + "=" + v.value_or(std::string()));
}

bool take_identity(const reader &rd, const toml::table &doc, job *out)
{
    out->name = text_of(doc["name"]);
    out->version = text_of(doc["version"]);
    out->image = beside(out->path, text_of(doc["image"]["file"]));
    out->image_sha256 = text_of(doc["image"]["sha256"]);
    std::transform(out->image_sha256.begin(), out->image_sha256.end(), out->image_sha256.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    for (const char *key : {"name", "version"})
        if (text_of(doc[key]).empty())
            return rd.fail(doc.get(key)->source().begin.line, std::string(key) + " is empty");
    const toml::node *sha = doc["image"]["sha256"].node();
    if (!digest_is_sha256_hex(out->image_sha256))
        return rd.fail(sha->source().begin.line, "image.sha256 must be 64 hex digits");
    if (text_of(doc["image"]["file"]).empty())
        return rd.fail(doc["image"]["file"].node()->source().begin.line, "image.file is empty");
    return true;
}

} // namespace

line_status job_parse(const std::string &path, const std::string &text, job *out, std::string *why)
{
    *out = job{};
    out->path = path;
    out->text = text;
    out->sha256 = digest_sha256_hex(text.data(), text.size());
    const reader rd{path, why};
    toml::parse_result parsed = toml::parse(text, path);
    if (!parsed) {
        const toml::parse_error &e = parsed.error();
        rd.fail(e.source().begin.line, std::string(e.description()));
        return LINE_REFUSED;
    }
    const toml::table &doc = parsed.table();
    if (!check_table(rd, doc, "") || !take_identity(rd, doc, out))
        return LINE_REFUSED;
    take_serial(doc, out);
    take_station(doc, out);
    return LINE_OK;
}

line_status job_read(const std::string &path, job *out, std::string *why)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? std::streamoff(in.tellg()) : -1;
    if (size < 0) {
        *why = path + ": cannot read the job file";
        return LINE_REFUSED;
    }
    if (size > job_max) {
        *why = path + ": " + std::to_string(size) + " bytes is too large for a job file";
        return LINE_REFUSED;
    }
    std::string text(size_t(size), '\0');
    in.seekg(0);
    if (!in.read(text.data(), size)) {
        *why = path + ": cannot read the job file";
        return LINE_REFUSED;
    }
    return job_parse(path, text, out, why);
}
