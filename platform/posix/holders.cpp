// Who else has a terminal device open, from /proc/*/fd. The master of a
// pseudo-terminal is the device on its other end (the simulator holds it and
// the slave), so a process holding the master of the same pty is no rival.
#include "platform/port_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Unix98 pty slaves: major 136, the pty's index as the minor.
constexpr unsigned PTS_MAJOR = 136;

struct holders_target {
    dev_t rdev;
    dev_t fs; // a pty's devpts instance: another instance reuses the numbers
    int pty;  // the pty's index, -1 for other devices
};

// A directory entry's name as a number (a pid, an fd); -1 for anything else.
int holders_number(const char *s)
{
    long n = 0;
    for (const char *c = s; *c; ++c)
        if (*c < '0' || *c > '9' || (n = n * 10 + (*c - '0')) > 0x7FFFFFFF)
            return -1;
    return *s ? int(n) : -1;
}

// Which pty a master fd serves, from its fdinfo; -1 when the kernel does not say.
int holders_master_index(int pid, int fd)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/fdinfo/%d", pid, fd);
    FILE *f = std::fopen(path, "re");
    if (!f)
        return -1;
    char line[128];
    int index = -1;
    while (index < 0 && std::fgets(line, sizeof line, f))
        std::sscanf(line, "tty-index: %d", &index);
    std::fclose(f);
    return index;
}

struct holders_seen {
    bool slave = false;
    bool master = false;
};

// False when the process's fd list could not be read; one that has ended
// holds nothing.
bool holders_scan(const holders_target &t, int pid, holders_seen *seen)
{
    char dir[64];
    std::snprintf(dir, sizeof dir, "/proc/%d/fd", pid);
    DIR *d = opendir(dir);
    if (!d)
        return errno == ENOENT;
    const dev_t ptmx = makedev(5, 2); // /dev/ptmx and every devpts ptmx
    while (dirent *e = readdir(d)) {
        const int fd = holders_number(e->d_name);
        char link[96];
        std::snprintf(link, sizeof link, "%s/%d", dir, fd);
        struct stat st {};
        if (fd < 0 || stat(link, &st) != 0 || !S_ISCHR(st.st_mode))
            continue;
        if (st.st_rdev == t.rdev && (t.pty < 0 || st.st_dev == t.fs)) {
            seen->slave = true;
        } else if (st.st_rdev == ptmx && t.pty >= 0) {
            const int index = holders_master_index(pid, fd);
            seen->master |= index < 0 || index == t.pty;
        }
    }
    closedir(d);
    return true;
}

void holders_append(char *dest, size_t size, int pid)
{
    char comm[64] = "?", path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
    if (FILE *f = std::fopen(path, "re")) {
        if (std::fgets(comm, sizeof comm, f))
            comm[std::strcspn(comm, "\n")] = 0;
        std::fclose(f);
    }
    const size_t used = std::strlen(dest);
    if (used + 1 < size)
        std::snprintf(dest + used, size - used, "%spid %d (%s)", used ? ", " : "", pid, comm);
}

} // namespace

int port_holders(const char *path, char *dest, size_t size, bool *unchecked)
{
    bool ignored = false;
    bool &blind = unchecked ? *unchecked : ignored;
    blind = false;
    if (size)
        dest[0] = 0;
    struct stat st {};
    if (!path || stat(path, &st) != 0)
        return -1;
    if (!S_ISCHR(st.st_mode))
        return 0;
    const bool pts = major(st.st_rdev) == PTS_MAJOR;
    const holders_target t{st.st_rdev, st.st_dev, pts ? int(minor(st.st_rdev)) : -1};
    DIR *proc = opendir("/proc");
    if (!proc) {
        blind = true;
        return 0;
    }
    int found = 0;
    while (dirent *e = readdir(proc)) {
        holders_seen seen;
        const int pid = holders_number(e->d_name);
        if (pid <= 0 || pid == int(getpid()))
            continue;
        if (!holders_scan(t, pid, &seen)) {
            blind = true;
            continue;
        }
        if (!seen.slave || seen.master)
            continue;
        ++found;
        if (size)
            holders_append(dest, size, pid);
    }
    closedir(proc);
    return found;
}
