#include "app/run/advice.h"

#include "platform/latency.h"
#include "platform/port_error.h"
#include "platform/syserror.h"

#include <cstdio>

namespace {

#if defined(_WIN32)
constexpr const char *advice_not_a_port =
    "name the serial port itself, such as COM3; zmk-cli --list shows the ports found";
#else
constexpr const char *advice_not_a_port =
    "name the serial device itself, such as /dev/ttyUSB0; zmk-cli --list shows the ports found";
#endif

void advice_who(const port_access &a, char *dest, size_t size)
{
    const bool owner = (a.mode & 0600) == 0600 && !a.owner_is_root;
    const bool group = (a.mode & 060) == 060;
    if (owner && group)
        std::snprintf(dest, size, "only %s, root and the %s group can open it", a.owner, a.group);
    else if (owner)
        std::snprintf(dest, size, "only %s and root can open it", a.owner);
    else if (group)
        std::snprintf(dest, size, "only root and the %s group can open it", a.group);
    else
        std::snprintf(dest, size, "only root can open it");
}

// A system that keeps no owner, group and mode for a port has the first line.
void advice_unexamined(const port_access &a, const char *path, char *dest, size_t size)
{
    char why[200] = "";
    if (!a.err) {
        std::snprintf(dest, size,
                      "another program may hold %s, or the administrator has not allowed this "
                      "user to open it",
                      path);
        return;
    }
    platform_error_text(uint32_t(a.err), why, sizeof why);
    std::snprintf(dest, size, "%s cannot be examined (%s): ask an administrator for access", path,
                  why);
}

void advice_permission(const char *path, char *dest, size_t size)
{
    port_access a;
    port_access_examine(path, &a);
    path = path ? path : "the port";
    char who[320];
    advice_who(a, who, sizeof who);
    if (!a.examined)
        advice_unexamined(a, path, dest, size);
    else if (a.bits_allow_user)
        std::snprintf(dest, size,
                      "%s (%s:%s, mode %04o) is open to you, yet the system refused: ask an "
                      "administrator (an access control list or a security policy is in the way)",
                      path, a.owner, a.group, a.mode);
    else if (a.group_may_open && a.user_in_group_configured)
        std::snprintf(dest, size,
                      "you are in the %s group, which may open %s, but this login does not have "
                      "it yet: log out and in again",
                      a.group, path);
    else if (a.group_may_open)
        std::snprintf(
            dest, size,
            "%s is open to the %s group: run 'sudo usermod -aG %s $USER' and log in again", path,
            a.group, a.group);
    else if (a.usb_adapter_under_seat_rule)
        std::snprintf(dest, size,
                      "zmk's udev rule gives %s to the user at the computer's seat: unplug the "
                      "adapter and plug it in again, or log in at the computer itself (ssh logins "
                      "are not seated)",
                      path);
    else
        std::snprintf(dest, size,
                      "%s belongs to %s:%s with mode %04o: %s; ask an administrator to change "
                      "that (a udev rule) or run as root",
                      path, a.owner, a.group, a.mode, who);
}

} // namespace

void cli_open_advice(int kind, const char *path, char *dest, size_t size)
{
    if (!size)
        return;
    const char *text = "";
    switch (kind) {
    case PORT_ERR_MISSING:
        text = "check the cable and the name; zmk-cli --list shows the ports found";
        break;
    case PORT_ERR_IN_USE: text = "close that program, then program the device again"; break;
    case PORT_ERR_PERMISSION: return advice_permission(path, dest, size);
    case PORT_ERR_NOT_A_PORT: text = advice_not_a_port; break;
    default: break;
    }
    std::snprintf(dest, size, "%s", text);
}

void cli_latency_warning(const char *port, int32_t ms, const char *path, char *dest, size_t size)
{
    if (port_latency_kept_in() == LATENCY_IN_REGISTRY) {
        std::snprintf(dest, size,
                      "%s: the adapter holds replies %d ms (LatencyTimer); every exchange waits. "
                      "Fix: Device Manager > the port > Port Settings > Advanced > Latency Timer "
                      "(msec): 1, or set the registry value %s to 1, then unplug and plug in the "
                      "adapter",
                      port, int(ms), path);
        return;
    }
    std::snprintf(dest, size,
                  "%s: the adapter holds replies %d ms (latency_timer); every exchange waits. "
                  "Fix: install zmk's udev rule 70-zmk.rules (it sets the timer to 1 ms when "
                  "the adapter appears), or run: echo 1 | sudo tee %s",
                  port, int(ms), path);
}
