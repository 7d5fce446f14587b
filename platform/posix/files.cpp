#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

int platform_append_durable(const char *path, const void *data, size_t n)
{
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    ssize_t w;
    do
        w = write(fd, data, n);
    while (w < 0 && errno == EINTR);
    const bool ok = w == ssize_t(n) && fsync(fd) == 0;
    const int e = errno;
    close(fd);
    errno = e;
    return ok ? 0 : -1;
}

void platform_host_name(char *dest, size_t size)
{
    if (size == 0)
        return;
    if (gethostname(dest, size) != 0)
        dest[0] = 0;
    dest[size - 1] = 0;
}
