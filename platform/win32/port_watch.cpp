// Watching ports on Windows: a poll of the system's COM list
// (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM), which every serial driver keeps up
// to date and which reading opens no port. SetupAPI names the devices
// behind the ports only when that list changes.
#include "platform/port_watch.h"
#include "platform/port_watch_loop.h"
#include "platform/tick.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

void ports_win32_describe(port_info *ports, int count);

struct port_watch {
    port_match match;
    std::vector<std::string> names;
    std::vector<port_info> known; // `names`, described
    port_watch_cycle cycle;
};

namespace {

const char *bare_name(const char *name)
{
    return std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
}

// '*' and '?' ignoring case, as COM names do.
bool glob_match(const char *glob, const char *name)
{
    for (; *glob; ++glob, ++name) {
        if (*glob == '*') {
            for (const char *rest = name;; ++rest) {
                if (glob_match(glob + 1, rest))
                    return true;
                if (!*rest)
                    return false;
            }
        }
        if (!*name || (*glob != '?' && std::toupper(static_cast<unsigned char>(*glob)) !=
                                           std::toupper(static_cast<unsigned char>(*name))))
            return false;
    }
    return !*name;
}

// The COM names in the system's list, sorted, each once; those too long for
// port_info::path go to `unkept` instead. The buffers fit the longest value
// the key holds now; one added meanwhile waits for the next look.
std::vector<std::string> com_names(std::vector<std::string> *unkept)
{
    std::vector<std::string> names;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return names;
    DWORD name_max = 0, data_max = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &name_max,
                     &data_max, nullptr, nullptr);
    std::string value(name_max + 1, '\0'), data(data_max + 1, '\0');
    for (DWORD i = 0;; ++i) {
        DWORD value_len = DWORD(value.size()), data_len = DWORD(data.size() - 1), type = 0;
        const LONG rc = RegEnumValueA(key, i, value.data(), &value_len, nullptr, &type,
                                      reinterpret_cast<BYTE *>(data.data()), &data_len);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS || type != REG_SZ)
            continue;
        const auto end = std::find(data.begin(), data.begin() + data_len, '\0');
        std::string name(data.begin(), end);
        if (name.size() >= sizeof port_info::path) {
            if (unkept)
                unkept->push_back(std::move(name));
        } else if (!name.empty()) {
            names.push_back(std::move(name));
        }
    }
    RegCloseKey(key);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

void describe_names(port_watch *t)
{
    t->known.assign(t->names.size(), port_info{});
    for (size_t i = 0; i < t->names.size(); ++i)
        std::snprintf(t->known[i].path, sizeof t->known[i].path, "%s", t->names[i].c_str());
    ports_win32_describe(t->known.data(), int(t->known.size()));
}

bool matches(const port_watch *t, const port_info &p)
{
    if (port_match_usb(t->match, p))
        return true;
    return std::any_of(t->match.globs.begin(), t->match.globs.end(),
                       [&](const std::string &g) { return glob_match(g.c_str(), p.path); });
}

void scan(port_watch *t, std::vector<port_info> &now, std::vector<std::string> &unkept)
{
    std::vector<std::string> names = com_names(&unkept);
    if (names != t->names) {
        t->names = std::move(names);
        describe_names(t);
    }
    now.clear();
    for (const port_info &p : t->known)
        if (matches(t, p))
            now.push_back(p);
}

} // namespace

int port_identify(const char *path, port_info *out)
{
    if (!out)
        return -1;
    std::memset(out, 0, sizeof *out);
    if (!path)
        return -1;
    std::snprintf(out->path, sizeof out->path, "%s", path);
    const std::vector<std::string> names = com_names(nullptr);
    const char *name = bare_name(path);
    if (std::strlen(path) >= sizeof out->path ||
        std::none_of(names.begin(), names.end(),
                     [&](const std::string &n) { return _stricmp(n.c_str(), name) == 0; }))
        return -1;
    ports_win32_describe(out, 1);
    return 0;
}

port_watch *port_watch_new(const char *const *patterns, int count)
{
    auto *t = new (std::nothrow) port_watch;
    if (!t)
        return nullptr;
    if (!port_match_parse(&t->match, patterns, count, bare_name)) {
        delete t;
        return nullptr;
    }
    return t;
}

void port_watch_free(port_watch *t) { delete t; }

int port_watch_poll(port_watch *t, int timeout_ms, port_info *out, int max)
{
    if (!t)
        return 0;
    const port_watch_backend b{
        [](void *w, std::vector<port_info> &now, std::vector<std::string> &unkept) {
            scan(static_cast<port_watch *>(w), now, unkept);
        },
        [](void *, int ms) {
            Sleep(DWORD(ms));
            return false;
        },
        t};
    return port_watch_run(&t->cycle, b, timeout_ms, out, max);
}

int port_watch_unkept(const port_watch *t, const char **first)
{
    if (first)
        *first = nullptr;
    return t ? port_watch_cycle_unkept(&t->cycle, first) : 0;
}
