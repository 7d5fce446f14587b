// The latency timer of a USB serial adapter on Windows, as its vendor driver
// keeps it: the key Device Parameters of each of its instances, under
// HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\<device>\<instance>, holds
// the port's name (PortName) and the timer (LatencyTimer, ms). Read only:
// the driver takes a new value only when the adapter is plugged in again.
#include "platform/latency.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const char bus_key[] = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
// Stale entries of adapters long unplugged stay; the walk is bounded anyway.
constexpr DWORD max_devices = 512, max_instances = 32;

const char *bare_name(const char *name)
{
    return std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
}

bool port_name_is(HKEY key, const char *port)
{
    char text[64];
    DWORD type = 0, len = sizeof text - 1;
    if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE *>(text), &len) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    text[len < sizeof text ? len : sizeof text - 1] = 0;
    return _stricmp(text, port) == 0;
}

int32_t timer_ms(HKEY key)
{
    DWORD type = 0, value = 0, len = sizeof value;
    if (RegQueryValueExA(key, "LatencyTimer", nullptr, &type, reinterpret_cast<BYTE *>(&value),
                         &len) != ERROR_SUCCESS ||
        type != REG_DWORD || len != sizeof value)
        return -1;
    return value <= 1000 ? int32_t(value) : -1;
}

// The parameters key `sub` (under the bus key) when it drives `port`.
bool read_params(HKEY bus, const char *sub, const char *port, port_latency *out)
{
    HKEY key;
    if (RegOpenKeyExA(bus, sub, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    const bool match = port_name_is(key, port);
    if (match) {
        out->ms = timer_ms(key);
        std::snprintf(out->path, sizeof out->path, "HKLM\\%s\\%s\\LatencyTimer", bus_key, sub);
    }
    RegCloseKey(key);
    return match;
}

bool search_device(HKEY bus, const char *device, const char *port, port_latency *out)
{
    HKEY dev;
    if (RegOpenKeyExA(bus, device, 0, KEY_ENUMERATE_SUB_KEYS, &dev) != ERROR_SUCCESS)
        return false;
    bool found = false;
    char instance[256];
    for (DWORD i = 0; i < max_instances && !found; ++i) {
        DWORD len = sizeof instance;
        if (RegEnumKeyExA(dev, i, instance, &len, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        char sub[600];
        std::snprintf(sub, sizeof sub, "%s\\%s\\Device Parameters", device, instance);
        found = read_params(bus, sub, port, out);
    }
    RegCloseKey(dev);
    return found;
}

} // namespace

port_latency_store port_latency_kept_in() { return LATENCY_IN_REGISTRY; }

bool port_latency_read(const char *name, port_latency *out)
{
    *out = port_latency{};
    HKEY bus;
    if (!name || RegOpenKeyExA(HKEY_LOCAL_MACHINE, bus_key, 0, KEY_ENUMERATE_SUB_KEYS, &bus) !=
                     ERROR_SUCCESS)
        return false;
    const char *port = bare_name(name);
    char device[256];
    for (DWORD i = 0; i < max_devices; ++i) {
        DWORD len = sizeof device;
        if (RegEnumKeyExA(bus, i, device, &len, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS ||
            search_device(bus, device, port, out))
            break;
    }
    RegCloseKey(bus);
    return out->ms >= 0;
}

bool port_latency_lower(const char *name, port_latency *out)
{
    return port_latency_read(name, out);
}
