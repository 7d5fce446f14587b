#include "platform/port_error.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

port_error_kind port_error_classify(uint32_t code)
{
    switch (code) {
    case 0: return PORT_ERR_NONE;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return PORT_ERR_MISSING;
    case EBUSY:
    case EWOULDBLOCK: return PORT_ERR_IN_USE;
    case EACCES:
    case EPERM: return PORT_ERR_PERMISSION;
    case ENOTTY:
    case EISDIR: return PORT_ERR_NOT_A_PORT;
    default: return PORT_ERR_OTHER;
    }
}

const char *port_error_advice(port_error_kind kind)
{
    switch (kind) {
    case PORT_ERR_MISSING:
        return "check the cable and the name; zmk-cli --list shows the ports found";
    case PORT_ERR_IN_USE: return "close that program, then program the device again";
    case PORT_ERR_PERMISSION:
        return "serial ports belong to the dialout group: run "
               "'sudo usermod -aG dialout $USER' and log in again";
    case PORT_ERR_NOT_A_PORT:
        return "name the serial device itself, such as /dev/ttyUSB0; zmk-cli --list shows "
               "the ports found";
    default: return "";
    }
}

namespace {

struct advice_node {
    const char *path;
    uid_t uid;
    gid_t gid;
    unsigned mode;
    char owner[64];
    char group[64];
};

advice_node advice_examine(const char *path, const struct stat &st)
{
    advice_node n{path, st.st_uid, st.st_gid, unsigned(st.st_mode & 07777), {}, {}};
    if (passwd *pw = getpwuid(n.uid))
        std::snprintf(n.owner, sizeof n.owner, "%s", pw->pw_name);
    else
        std::snprintf(n.owner, sizeof n.owner, "%u", unsigned(n.uid));
    if (group *gr = getgrgid(n.gid))
        std::snprintf(n.group, sizeof n.group, "%s", gr->gr_name);
    else
        std::snprintf(n.group, sizeof n.group, "%u", unsigned(n.gid));
    return n;
}

bool advice_has(const std::vector<gid_t> &list, gid_t g)
{
    return std::find(list.begin(), list.end(), g) != list.end();
}

// The groups this login has now.
bool advice_in_login(gid_t g)
{
    std::vector<gid_t> list(size_t(std::max(getgroups(0, nullptr), 0)));
    const int n = getgroups(int(list.size()), list.data());
    list.resize(size_t(std::max(n, 0)));
    return getegid() == g || advice_has(list, g);
}

// The groups the user is configured in: what the next login will have.
bool advice_configured(gid_t g)
{
    const passwd *pw = getpwuid(geteuid());
    if (!pw)
        return false;
    const std::string name = pw->pw_name;
    const gid_t primary = pw->pw_gid;
    std::vector<gid_t> list(32);
    int n = int(list.size());
    if (getgrouplist(name.c_str(), primary, list.data(), &n) < 0) {
        list.resize(size_t(n));
        if (getgrouplist(name.c_str(), primary, list.data(), &n) < 0)
            return primary == g;
    }
    list.resize(size_t(n));
    return primary == g || advice_has(list, g);
}

// What the mode bits say for this user, judged as the kernel does: the owner
// by the owner's bits, a member by the group's, everyone else by the rest.
bool advice_bits_allow(const advice_node &n)
{
    if (geteuid() == n.uid)
        return (n.mode & 0600) == 0600;
    if (advice_in_login(n.gid))
        return (n.mode & 060) == 060;
    return (n.mode & 06) == 06;
}

// A USB adapter, by its real /dev name: the package's udev rule covers these.
bool advice_usb_under_rule(const char *path)
{
    char *real = realpath(path, nullptr);
    const char *base = real ? std::strrchr(real, '/') : nullptr;
    const bool usb = base && (std::strncmp(base + 1, "ttyUSB", 6) == 0 ||
                              std::strncmp(base + 1, "ttyACM", 6) == 0);
    std::free(real);
    for (const char *dir : {"/usr/lib/udev/rules.d", "/lib/udev/rules.d", "/etc/udev/rules.d"})
        if (usb && access((std::string(dir) + "/70-zmk.rules").c_str(), F_OK) == 0)
            return true;
    return false;
}

void advice_who(const advice_node &n, char *dest, size_t size)
{
    const bool owner = (n.mode & 0600) == 0600 && n.uid != 0;
    const bool group = (n.mode & 060) == 060;
    if (owner && group)
        std::snprintf(dest, size, "only %s, root and the %s group can open it", n.owner, n.group);
    else if (owner)
        std::snprintf(dest, size, "only %s and root can open it", n.owner);
    else if (group)
        std::snprintf(dest, size, "only root and the %s group can open it", n.group);
    else
        std::snprintf(dest, size, "only root can open it");
}

} // namespace

void port_permission_advice(const char *path, char *dest, size_t size)
{
    struct stat st {};
    if (!size)
        return;
    if (!path || stat(path, &st) != 0) {
        std::snprintf(dest, size, "%s cannot be examined (%s): ask an administrator for access",
                      path ? path : "the port", std::strerror(errno));
        return;
    }
    const advice_node n = advice_examine(path, st);
    // Joining root's group is never the answer; such nodes fall to the last line.
    const bool group_rw = (n.mode & 060) == 060 && n.gid != 0 && geteuid() != n.uid;
    char who[320];
    advice_who(n, who, sizeof who);
    if (advice_bits_allow(n))
        std::snprintf(dest, size,
                      "%s (%s:%s, mode %04o) is open to you, yet the system refused: ask an "
                      "administrator (an access control list or a security policy is in the way)",
                      path, n.owner, n.group, n.mode);
    else if (group_rw && advice_configured(n.gid))
        std::snprintf(dest, size,
                      "you are in the %s group, which may open %s, but this login does not have "
                      "it yet: log out and in again",
                      n.group, path);
    else if (group_rw)
        std::snprintf(
            dest, size,
            "%s is open to the %s group: run 'sudo usermod -aG %s $USER' and log in again", path,
            n.group, n.group);
    else if (advice_usb_under_rule(path))
        std::snprintf(dest, size,
                      "zmk's udev rule gives %s to the user at the computer's seat: unplug the "
                      "adapter and plug it in again, or log in at the computer itself (ssh logins "
                      "are not seated)",
                      path);
    else
        std::snprintf(dest, size,
                      "%s belongs to %s:%s with mode %04o: %s; ask an administrator to change "
                      "that (a udev rule) or run as root",
                      path, n.owner, n.group, n.mode, who);
}
