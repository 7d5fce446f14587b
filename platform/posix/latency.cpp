#include "platform/latency.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The sysfs root: "/sys", or ZMK_SYSFS_ROOT where the tests lay out a fake tree.
const char *sysfs_root()
{
    const char *root = std::getenv("ZMK_SYSFS_ROOT");
    return root && *root ? root : "/sys";
}

bool attribute_path(const char *name, char *dest, size_t size)
{
    char real[PATH_MAX];
    if (!name || !realpath(name, real))
        return false;
    const char *slash = std::strrchr(real, '/');
    const int n = std::snprintf(dest, size, "%s/class/tty/%s/device/latency_timer", sysfs_root(),
                                slash ? slash + 1 : real);
    return n > 0 && size_t(n) < size;
}

// Root writes past the mode bits, so a file nobody may write (0444) is left
// alone by root too, as sysfs would refuse it.
bool may_write(const char *path)
{
    struct stat st {};
    return stat(path, &st) == 0 && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
           access(path, W_OK) == 0;
}

int32_t read_ms(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    char text[16] = "";
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return -1;
    text[n] = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    return end != text && v >= 0 && v <= 1000 ? int32_t(v) : -1;
}

} // namespace

port_latency_store port_latency_kept_in() { return LATENCY_IN_SYSFS; }

bool port_latency_read(const char *name, port_latency *out)
{
    *out = port_latency{};
    if (!attribute_path(name, out->path, sizeof out->path))
        return false;
    out->ms = read_ms(out->path);
    out->settable = out->ms >= 0 && may_write(out->path);
    return out->ms >= 0;
}

bool port_latency_lower(const char *name, port_latency *out)
{
    if (!port_latency_read(name, out))
        return false;
    if (out->ms <= 1 || !out->settable)
        return true;
    const int fd = open(out->path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        (void)!write(fd, "1\n", 2);
        close(fd);
    }
    return port_latency_read(name, out);
}
