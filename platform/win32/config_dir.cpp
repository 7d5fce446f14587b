#include "platform/config_dir.h"

#include <cstdio>
#include <windows.h>

void platform_job_keys_dir(char *dest, size_t size)
{
    char dir[MAX_PATH] = "";
    DWORD n = GetEnvironmentVariableA("ZMK_JOB_KEYS_DIR", dir, sizeof dir);
    if (n > 0 && n < sizeof dir) {
        std::snprintf(dest, size, "%s", dir);
        return;
    }
    n = GetEnvironmentVariableA("ProgramData", dir, sizeof dir);
    if (n > 0 && n < sizeof dir)
        std::snprintf(dest, size, "%s\\zmk\\job-keys", dir);
    else
        std::snprintf(dest, size, "%s", "");
}
