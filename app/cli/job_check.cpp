// --check: what a job makes a station do, shown before it does it.
#include "app/cli/job.h"

#include "app/database/store.h"
#include "app/run/run.h"

#include <cstdio>

namespace {

std::string plan_words(const serial_plan &p)
{
    if (!p.given)
        return "none";
    char at[32];
    std::snprintf(at, sizeof at, "0x%llx", static_cast<unsigned long long>(p.at));
    std::string out = "pool " + p.pool + ", " + (p.format_given ? p.format_name : "the pool's") +
                      " format at " + (p.at_given ? at : "the pool's place");
    if (p.list)
        return out + ", " + std::to_string(p.values.size()) + " numbers from a list";
    if (!p.numbers)
        return out + ", numbers as the pool in the database has them";
    return out + ", " + std::to_string(p.start) + " to " + std::to_string(p.last) + " step " +
           std::to_string(p.step);
}

std::string joined(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &i : items)
        out += (out.empty() ? "" : ", ") + i;
    return out.empty() ? "none" : out;
}

} // namespace

int cli_job_report(const cli_options &opt, const run_image &image, const serial_plan &plan)
{
    const job &j = opt.job_info;
    std::printf("job: %s %s\n", j.name.c_str(), j.version.c_str());
    std::printf("job file: %s\n  sha256 %s\n", j.path.c_str(), j.sha256.c_str());
    std::printf("image: %s (%u bytes)\n  sha256 %s, as the job says\n", j.image.c_str(),
                unsigned(image.size), image.sha256.c_str());
    if (j.sealed)
        std::printf("sealed by: key %s\n  trusted comment: %s\n", j.key_id.c_str(),
                    j.trusted_comment.c_str());
    else
        std::printf("sealed by: not sealed\n");
    std::printf("serial numbers: %s\n", plan_words(plan).c_str());
    std::printf("database: %s\n", j.db.empty() ? "none" : store_display_name(j.db).c_str());
    std::printf("ports: %s\n", joined(j.match).c_str());
    std::printf("slots: %s\n", joined(j.slots).c_str());
    std::printf("limits: timeout %g s, erase timeout %g s, hold_after_failures %lld, "
                "rated_insertions %lld\n",
                j.timeout_s, j.erase_timeout_s, static_cast<long long>(j.hold_after_failures),
                static_cast<long long>(j.rated_insertions));
    std::fflush(stdout);
    return RUN_EXIT_DONE;
}
