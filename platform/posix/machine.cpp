#include "platform/machine.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The first line of a small system file; "" when it cannot be read.
std::string first_line(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    char text[128];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return "";
    text[n] = 0;
    return std::string(text, std::strcspn(text, "\r\n"));
}

void add_part(std::string *id, const std::string &part)
{
    if (!part.empty())
        *id += (id->empty() ? "" : "/") + part;
}

} // namespace

void platform_machine_id(char *dest, size_t size)
{
    if (size == 0)
        return;
    std::string id = first_line("/etc/machine-id");
    if (id.empty())
        id = first_line("/var/lib/dbus/machine-id");
    add_part(&id, first_line("/proc/sys/kernel/random/boot_id"));
    // Process ids are only comparable inside one PID namespace.
    struct stat ns {};
    if (stat("/proc/self/ns/pid", &ns) == 0)
        add_part(&id, "pidns:" + std::to_string(static_cast<unsigned long long>(ns.st_ino)));
    std::snprintf(dest, size, "%s", id.c_str());
}
