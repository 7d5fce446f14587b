#include "platform/config_dir.h"

#include <cstdio>
#include <cstdlib>

void platform_job_keys_dir(char *dest, size_t size)
{
    const char *dir = std::getenv("ZMK_JOB_KEYS_DIR");
    std::snprintf(dest, size, "%s", dir ? dir : "/etc/zmk/job-keys");
}
