// Serial port discovery through udev: every tty with a device behind it,
// minus 8250 slots that have no UART and ports that do not open now. The USB
// identity comes from the tty's usb_device ancestor.
#include "platform/ports.h"

#include <libudev.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// Every path a system call takes fits port_info::path whole.
static_assert(PORT_PATH_MAX >= PATH_MAX);

namespace {

void copy_text(char *dest, size_t size, const char *src)
{
    std::snprintf(dest, size, "%s", src ? src : "");
}

uint16_t hex_id(const char *text) { return text ? uint16_t(std::strtoul(text, nullptr, 16)) : 0; }

// The kernel registers a fixed number of 8250 slots whether or not a UART
// sits behind them; those report UART type 0 (unknown).
bool is_phantom_uart(udev_device *dev)
{
    const char *type = udev_device_get_sysattr_value(dev, "type");
    return type && std::strtol(type, nullptr, 10) == 0;
}

void describe(udev_device *usb, udev_device *parent, char *dest, size_t size)
{
    if (usb) {
        const char *maker = udev_device_get_sysattr_value(usb, "manufacturer");
        const char *product = udev_device_get_sysattr_value(usb, "product");
        if (maker && product)
            std::snprintf(dest, size, "%s %s", maker, product);
        else
            copy_text(dest, size, product ? product : maker);
        if (dest[0])
            return;
    }
    // Newer kernels put generic "port" and "ctrl" devices between the tty
    // and the UART's own driver.
    for (udev_device *d = parent; d; d = udev_device_get_parent(d)) {
        const char *driver = udev_device_get_driver(d);
        if (driver && std::strcmp(driver, "port") != 0 && std::strcmp(driver, "ctrl") != 0) {
            copy_text(dest, size, driver);
            return;
        }
    }
}

// /dev/tty, the console, ptmx and the virtual consoles are character
// devices a glob such as "/dev/tty*" or "/dev/pts/*" catches, but never a
// line to a device (fixed numbers: major 5, and major 4 below minor 64).
bool never_a_line(dev_t dev) { return major(dev) == 5 || (major(dev) == 4 && minor(dev) < 64); }

// The same open the link uses; closed again at once.
bool can_open(const char *path)
{
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // A port another run holds carries its lock.
    bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

} // namespace

// The two below are shared with port_watch.cpp, which declares them.

// The identity of a tty udev knows: its USB device's ids and names, else
// its driver.
void ports_udev_describe(udev_device *tty, port_info *out)
{
    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (usb) {
        out->usb = true;
        out->vid = hex_id(udev_device_get_sysattr_value(usb, "idVendor"));
        out->pid = hex_id(udev_device_get_sysattr_value(usb, "idProduct"));
        copy_text(out->serial, sizeof out->serial, udev_device_get_sysattr_value(usb, "serial"));
        copy_text(out->location, sizeof out->location, udev_device_get_sysname(usb));
        copy_text(out->product, sizeof out->product, udev_device_get_sysattr_value(usb, "product"));
    }
    describe(usb, udev_device_get_parent(tty), out->description, sizeof out->description);
}

// port_identify with the caller's udev context (nullptr: no sysfs lookup).
// Only ttys are ports: not /dev/null, not an 8250 slot without a UART, not
// a console.
int ports_udev_identify(udev *ctx, const char *path, port_info *out)
{
    std::memset(out, 0, sizeof *out);
    if (!path)
        return -1;
    copy_text(out->path, sizeof out->path, path);
    struct stat st {};
    if (std::strlen(path) >= sizeof out->path || ::stat(path, &st) != 0 || !S_ISCHR(st.st_mode) ||
        never_a_line(st.st_rdev))
        return -1;
    // Pseudo-terminals have no device in sysfs: known, but nothing to tell.
    udev_device *dev = ctx ? udev_device_new_from_devnum(ctx, 'c', st.st_rdev) : nullptr;
    if (!dev)
        return 0;
    const char *subsystem = udev_device_get_subsystem(dev);
    const bool port = subsystem && std::strcmp(subsystem, "tty") == 0 && !is_phantom_uart(dev);
    if (port)
        ports_udev_describe(dev, out);
    udev_device_unref(dev);
    return port ? 0 : -1;
}

int port_identify(const char *path, port_info *out)
{
    if (!out)
        return -1;
    udev *ctx = udev_new();
    const int rc = ports_udev_identify(ctx, path, out);
    if (ctx)
        udev_unref(ctx);
    return rc;
}

int ports_list(port_info *out, int max)
{
    if (!out || max <= 0)
        return 0;
    udev *ctx = udev_new();
    if (!ctx)
        return 0;
    int count = 0;
    udev_enumerate *en = udev_enumerate_new(ctx);
    if (en && udev_enumerate_add_match_subsystem(en, "tty") >= 0 &&
        udev_enumerate_scan_devices(en) >= 0) {
        udev_list_entry *entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en))
        {
            if (count >= max)
                break;
            udev_device *dev = udev_device_new_from_syspath(ctx, udev_list_entry_get_name(entry));
            if (!dev)
                continue;
            // Virtual terminals, the console and ptmx have no parent device.
            udev_device *parent = udev_device_get_parent(dev);
            const char *node = udev_device_get_devnode(dev);
            // A node that opens fits the path whole.
            if (parent && node && !is_phantom_uart(dev) && can_open(node)) {
                std::memset(&out[count], 0, sizeof *out);
                copy_text(out[count].path, sizeof out->path, node);
                ports_udev_describe(dev, &out[count]);
                ++count;
            }
            udev_device_unref(dev);
        }
    }
    if (en)
        udev_enumerate_unref(en);
    udev_unref(ctx);
    std::sort(out, out + count, [](const port_info &a, const port_info &b) {
        return std::strcmp(a.path, b.path) < 0;
    });
    return count;
}
