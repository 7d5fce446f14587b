// Serial port discovery through udev: every tty with a device behind it,
// minus 8250 slots that have no UART and ports that do not open now.
#include "platform/ports.h"

#include <libudev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

void copy_text(char *dest, size_t size, const char *src)
{
    std::snprintf(dest, size, "%s", src ? src : "");
}

// The kernel registers a fixed number of 8250 slots whether or not a UART
// sits behind them; those report UART type 0 (unknown).
bool is_phantom_uart(udev_device *dev)
{
    const char *type = udev_device_get_sysattr_value(dev, "type");
    return type && std::strtol(type, nullptr, 10) == 0;
}

void describe(udev_device *dev, udev_device *parent, char *dest, size_t size)
{
    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device");
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
            if (parent && node && std::strlen(node) < sizeof out->path && !is_phantom_uart(dev) &&
                can_open(node)) {
                copy_text(out[count].path, sizeof out->path, node);
                describe(dev, parent, out[count].description, sizeof out->description);
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
