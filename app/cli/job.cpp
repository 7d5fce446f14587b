// The job and its seal, before any device is touched.
#include "app/cli/job.h"

#include "app/job/trust.h"
#include "app/run/run.h"

#include <cstdio>

namespace {

int refuse(const std::string &text)
{
    std::fprintf(stderr, "zmk-cli: %s\n", text.c_str());
    return RUN_EXIT_USAGE;
}

// The job's keys stand for the options they are named after.
void take_settings(const job &j, cli_options *opt)
{
    opt->image = j.image;
    if (j.serial_given) {
        const bool new_pool = opt->serial.new_pool, overlap = opt->serial.allow_overlap;
        opt->serial = j.serial;
        opt->serial.new_pool = new_pool;
        opt->serial.allow_overlap = overlap;
    }
    opt->db = j.db;
    opt->match = j.match;
    opt->slots = j.slots;
    opt->run.timeout_s = j.timeout_s;
    opt->run.erase_timeout_s = j.erase_timeout_s;
    opt->hold_after_failures = j.hold_after_failures;
    opt->rated_insertions = j.rated_insertions;
}

} // namespace

int cli_job_take(cli_options *opt)
{
    std::string why;
    if (job_read(opt->job_file, &opt->job_info, &why) != LINE_OK)
        return refuse(why);
    job_trust trust;
    if (job_trust_load(opt->job_keys, &trust, &why) != LINE_OK)
        return refuse(why + "; no device was touched");
    if (job_trust_check(trust, &opt->job_info, &why) != LINE_OK)
        return refuse(why + "; no device was touched");
    take_settings(opt->job_info, opt);
    return -1;
}

int cli_job_image(const cli_options &opt, const run_image &image)
{
    if (opt.job_file.empty())
        return 0;
    const job &j = opt.job_info;
    if (image.sha256 != j.image_sha256)
        return refuse("the image " + j.image + " has SHA-256 " + image.sha256 + ", but the job " +
                      j.path + " names " + j.image_sha256 + "; no device was touched");
    if (!j.sealed && !opt.check)
        std::fprintf(stderr,
                     "zmk-cli: the job %s is not sealed: anyone who can edit it can change what "
                     "is programmed\n",
                     j.path.c_str());
    return 0;
}

record_job cli_job_record(const cli_options &opt)
{
    record_job r;
    if (opt.job_file.empty())
        return r;
    r.given = true;
    r.name = opt.job_info.name;
    r.version = opt.job_info.version;
    r.sha256 = opt.job_info.sha256;
    r.key_id = opt.job_info.sealed ? opt.job_info.key_id : "";
    return r;
}
