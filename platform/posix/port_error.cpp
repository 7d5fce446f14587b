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

namespace {

// The user's groups: the login's now, or the ones the next login will have.
bool access_has(const std::vector<gid_t> &list, gid_t g)
{
    return std::find(list.begin(), list.end(), g) != list.end();
}

bool access_in_login(gid_t g)
{
    std::vector<gid_t> list(size_t(std::max(getgroups(0, nullptr), 0)));
    const int n = getgroups(int(list.size()), list.data());
    list.resize(size_t(std::max(n, 0)));
    return getegid() == g || access_has(list, g);
}

bool access_configured(gid_t g)
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
    return primary == g || access_has(list, g);
}

// A USB adapter, by its real /dev name, with the package's udev rule installed.
bool access_usb_under_rule(const char *path)
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

void access_names(const struct stat &st, port_access *out)
{
    if (passwd *pw = getpwuid(st.st_uid))
        std::snprintf(out->owner, sizeof out->owner, "%s", pw->pw_name);
    else
        std::snprintf(out->owner, sizeof out->owner, "%u", unsigned(st.st_uid));
    if (group *gr = getgrgid(st.st_gid))
        std::snprintf(out->group, sizeof out->group, "%s", gr->gr_name);
    else
        std::snprintf(out->group, sizeof out->group, "%u", unsigned(st.st_gid));
}

} // namespace

void port_access_examine(const char *path, port_access *out)
{
    *out = port_access{};
    struct stat st {};
    if (!path || stat(path, &st) != 0) {
        out->err = path ? errno : ENOENT;
        return;
    }
    out->examined = true;
    access_names(st, out);
    out->mode = unsigned(st.st_mode & 07777);
    out->owner_is_root = st.st_uid == 0;
    out->user_in_group_now = access_in_login(st.st_gid);
    out->user_in_group_configured = access_configured(st.st_gid);
    const bool owner = geteuid() == st.st_uid;
    // Judged as the kernel does: the owner by the owner's bits, a member by
    // the group's, everyone else by the rest.
    const unsigned need = owner ? 0600 : out->user_in_group_now ? 060 : 06;
    out->bits_allow_user = (out->mode & need) == need;
    // Joining root's group is never the answer.
    out->group_may_open = (out->mode & 060) == 060 && st.st_gid != 0 && !owner;
    out->usb_adapter_under_seat_rule = access_usb_under_rule(path);
}
