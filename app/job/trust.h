// Whose jobs a station runs: the public keys given with --job-key and those
// in the machine's folder of job keys. With any key, a job runs only when
// one of them sealed it; with none, it runs unsealed.
#pragma once

#include "app/job/job.h"
#include "app/job/seal.h"

#include <string>
#include <vector>

struct job_trust {
    std::vector<seal_key> keys;
    std::vector<std::string> files; // where each key came from
};

// The keys of `files` and of every *.pub in the machine's folder;
// LINE_REFUSED naming the file that holds no key.
line_status job_trust_load(const std::vector<std::string> &files, job_trust *out, std::string *why);
// Checks the job's seal (JOB.minisig) against the keys: LINE_OK with who
// sealed it, or LINE_REFUSED naming the file and what is wrong. Without any
// key, LINE_OK and the job not sealed.
line_status job_trust_check(const job_trust &t, job *j, std::string *why);
