// Where the machine's own settings for zmk live, set up by whoever runs the
// line rather than given on each command line.
#pragma once

#include <cstddef>

// The folder of the public keys whose jobs a station runs:
// /etc/zmk/job-keys on Linux, %ProgramData%\zmk\job-keys on Windows;
// ZMK_JOB_KEYS_DIR, when set, names another. "" when none is known.
void platform_job_keys_dir(char *dest, size_t size);
