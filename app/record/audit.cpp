#include "app/record/audit.h"

#include <nlohmann/json.hpp>

#include <ctime>

namespace {

using json = nlohmann::ordered_json;

std::string now_utc()
{
    const std::time_t t = std::time(nullptr);
    char text[32] = "";
    if (const std::tm *utc = std::gmtime(&t))
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

// The job as the database's detail: what identifies it, on one line.
std::string job_words(const record_job &j)
{
    return j.name + " " + j.version + " sha256 " + j.sha256 +
           (j.key_id.empty() ? ", not sealed" : ", sealed by key " + j.key_id);
}

// A cut message or a port's name may hold bytes that are no UTF-8, which a
// server refuses for good: such a row would hold up the whole trail.
std::string utf8(const std::string &s)
{
    return json::parse(json(s).dump(-1, ' ', false, json::error_handler_t::replace))
        .get<std::string>();
}

} // namespace

audit audit_make(const std::string &station, const std::string &event, const std::string &slot,
                 const std::string &viewer, const std::string &detail, const record_job *job)
{
    audit a;
    a.row = {now_utc(),  utf8(station), event,
             utf8(slot), utf8(viewer),  utf8(job ? job_words(*job) : detail)};
    json j = {{"audit", event}, {"time", a.row.time}, {"station", station}};
    for (const auto &[key, value] : {std::pair<const char *, const std::string &>{"slot", slot},
                                     {"viewer", viewer},
                                     {"detail", detail}})
        if (!value.empty())
            j[key] = value;
    if (job)
        j["job"] = {{"name", job->name},
                    {"version", job->version},
                    {"sha256", job->sha256},
                    {"key_id", job->key_id.empty() ? json(nullptr) : json(job->key_id)}};
    a.json = j.dump(-1, ' ', false, json::error_handler_t::replace);
    return a;
}
