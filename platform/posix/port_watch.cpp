// Watching ports on Linux: udev's tty events wake the wait at once, and the
// ports are looked for once an interval as well, because pseudo-terminals
// and hand-made symlinks send no events, and where no udev daemon runs
// (containers) nothing does. No port is ever opened: stat() is enough.
#include "platform/port_watch.h"
#include "platform/port_watch_loop.h"
#include "platform/tick.h"

#include <libudev.h>

#include <algorithm>
#include <cstdio>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <glob.h>
#include <new>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

// From ports.cpp.
void ports_udev_describe(udev_device *tty, port_info *out);
int ports_udev_identify(udev *ctx, const char *path, port_info *out);

struct port_watch {
    port_match match;
    udev *ctx = nullptr;
    udev_monitor *mon = nullptr;
    port_watch_cycle cycle;
};

namespace {

// Reads /sys/class/tty rather than asking udev to enumerate, which costs
// milliseconds: a USB tty's link there runs through its bus ("/usb1/1-1.4/"),
// so the others are passed over without reading their attributes.
void scan_usb(port_watch *t, std::vector<port_info> &now, std::vector<std::string> &unkept)
{
    DIR *dir = t->ctx ? opendir("/sys/class/tty") : nullptr;
    if (!dir)
        return;
    while (const dirent *entry = readdir(dir)) {
        char target[PATH_MAX];
        const ssize_t len = readlinkat(dirfd(dir), entry->d_name, target, sizeof target - 1);
        if (len <= 0)
            continue;
        target[len] = 0;
        udev_device *dev =
            std::strstr(target, "/usb")
                ? udev_device_new_from_subsystem_sysname(t->ctx, "tty", entry->d_name)
                : nullptr;
        const char *node = dev ? udev_device_get_devnode(dev) : nullptr;
        port_info p{};
        if (node && std::strlen(node) >= sizeof p.path) {
            unkept.emplace_back(node);
        } else if (node) {
            std::snprintf(p.path, sizeof p.path, "%s", node);
            ports_udev_describe(dev, &p);
            if (port_match_usb(t->match, p))
                now.push_back(p);
        }
        if (dev)
            udev_device_unref(dev);
    }
    closedir(dir);
}

// A glob can join a directory and a name into a path longer than any the
// system takes: that one is told, not passed over.
void scan_globs(port_watch *t, std::vector<port_info> &now, std::vector<std::string> &unkept)
{
    port_info p;
    for (const std::string &pattern : t->match.globs) {
        glob_t found{};
        if (glob(pattern.c_str(), GLOB_NOSORT, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                const char *path = found.gl_pathv[i];
                if (std::strlen(path) >= sizeof p.path)
                    unkept.emplace_back(path);
                else if (ports_udev_identify(t->ctx, path, &p) == 0)
                    now.push_back(p);
            }
        }
        globfree(&found);
    }
}

void scan(port_watch *t, std::vector<port_info> &now, std::vector<std::string> &unkept)
{
    now.clear();
    if (t->match.any_usb || !t->match.ids.empty())
        scan_usb(t, now, unkept);
    scan_globs(t, now, unkept);
    const auto by_path = [](const port_info &a, const port_info &b) {
        return std::strcmp(a.path, b.path) < 0;
    };
    std::stable_sort(now.begin(), now.end(), by_path);
    now.erase(std::unique(now.begin(), now.end(),
                          [](const port_info &a, const port_info &b) {
                              return std::strcmp(a.path, b.path) == 0;
                          }),
              now.end());
}

// Sleeps up to `ms`, waking early on a tty event. Returns whether one came.
bool wait_event(port_watch *t, int ms)
{
    if (!t->mon) {
        poll(nullptr, 0, ms);
        return false;
    }
    pollfd pfd{udev_monitor_get_fd(t->mon), POLLIN, 0};
    if (poll(&pfd, 1, ms) <= 0)
        return false;
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        // A broken socket would wake every wait at once: poll only.
        udev_monitor_unref(t->mon);
        t->mon = nullptr;
        return true;
    }
    while (udev_device *dev = udev_monitor_receive_device(t->mon))
        udev_device_unref(dev);
    return true;
}

void open_monitor(port_watch *t)
{
    t->ctx = udev_new();
    t->mon = t->ctx ? udev_monitor_new_from_netlink(t->ctx, "udev") : nullptr;
    if (t->mon && (udev_monitor_filter_add_match_subsystem_devtype(t->mon, "tty", nullptr) < 0 ||
                   udev_monitor_enable_receiving(t->mon) < 0)) {
        udev_monitor_unref(t->mon);
        t->mon = nullptr;
    }
}

} // namespace

port_watch *port_watch_new(const char *const *patterns, int count)
{
    auto *t = new (std::nothrow) port_watch;
    if (!t)
        return nullptr;
    if (!port_match_parse(&t->match, patterns, count, [](const char *p) { return p; })) {
        delete t;
        return nullptr;
    }
    open_monitor(t);
    return t;
}

void port_watch_free(port_watch *t)
{
    if (!t)
        return;
    if (t->mon)
        udev_monitor_unref(t->mon);
    if (t->ctx)
        udev_unref(t->ctx);
    delete t;
}

int port_watch_poll(port_watch *t, int timeout_ms, port_info *out, int max)
{
    if (!t)
        return 0;
    const port_watch_backend b{
        [](void *w, std::vector<port_info> &now, std::vector<std::string> &unkept) {
            scan(static_cast<port_watch *>(w), now, unkept);
        },
        [](void *w, int ms) { return wait_event(static_cast<port_watch *>(w), ms); }, t};
    return port_watch_run(&t->cycle, b, timeout_ms, out, max);
}

int port_watch_unkept(const port_watch *t, const char **first)
{
    if (first)
        *first = nullptr;
    return t ? port_watch_cycle_unkept(&t->cycle, first) : 0;
}
