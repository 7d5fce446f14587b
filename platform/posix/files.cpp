#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int open_append(const char *path)
{
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
}

// One write of all n bytes, or none of them left in the file.
bool append_whole(int fd, const void *data, size_t n)
{
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ssize_t w;
    do
        w = write(fd, data, n);
    while (w < 0 && errno == EINTR);
    if (w == ssize_t(n))
        return true;
    const int e = w < 0 ? errno : ENOSPC;
    // Should taking it back fail too, the write's own error is still the one told.
    if (regular && w > 0 && ftruncate(fd, st.st_size) != 0)
        w = -1;
    errno = e;
    return false;
}

} // namespace

int platform_append_durable(const char *path, const void *data, size_t n)
{
    const int fd = open_append(path);
    if (fd < 0)
        return -1;
    // Another writer of the same file waits, so taking back a short write
    // never cuts into its record.
    (void)flock(fd, LOCK_EX);
    const bool ok = append_whole(fd, data, n) && fsync(fd) == 0;
    const int e = errno;
    close(fd);
    errno = e;
    return ok ? 0 : -1;
}

int platform_append_check(const char *path)
{
    const int fd = open_append(path);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

void platform_host_name(char *dest, size_t size)
{
    if (size == 0)
        return;
    if (gethostname(dest, size) != 0)
        dest[0] = 0;
    dest[size - 1] = 0;
}
