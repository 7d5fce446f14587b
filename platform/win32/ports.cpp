// Serial port discovery on Windows: probe COM1..COM255 and keep the ones that
// open now. The device namespace form also reaches COM10 and above. Each
// port's description is what Device Manager shows for its device; a USB
// device's ids, serial number and place come from its hardware and instance
// ids.
#include "platform/ports.h"

#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <io.h>

// Every path the ANSI calls take fits port_info::path whole.
static_assert(PORT_PATH_MAX >= MAX_PATH);

namespace {

// The functions of SetupAPI that describing needs. It is loaded only when
// ports are described, so programs that never do that do not load it.
struct setupapi {
    HMODULE lib = LoadLibraryA("setupapi.dll");
    decltype(&SetupDiGetClassDevsA) get_class_devs =
        load<decltype(get_class_devs)>("SetupDiGetClassDevsA");
    decltype(&SetupDiEnumDeviceInfo) enum_device_info =
        load<decltype(enum_device_info)>("SetupDiEnumDeviceInfo");
    decltype(&SetupDiOpenDevRegKey) open_dev_reg_key =
        load<decltype(open_dev_reg_key)>("SetupDiOpenDevRegKey");
    decltype(&SetupDiGetDeviceRegistryPropertyA) get_property =
        load<decltype(get_property)>("SetupDiGetDeviceRegistryPropertyA");
    decltype(&SetupDiDestroyDeviceInfoList) destroy =
        load<decltype(destroy)>("SetupDiDestroyDeviceInfoList");
    decltype(&SetupDiGetDeviceInstanceIdA) get_instance_id =
        load<decltype(get_instance_id)>("SetupDiGetDeviceInstanceIdA");
    // Vista and later; without it the USB product stays unknown.
    decltype(&SetupDiGetDevicePropertyW) get_devprop =
        load<decltype(get_devprop)>("SetupDiGetDevicePropertyW");

    template <typename F> F load(const char *name)
    {
        return lib ? reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(lib, name)))
                   : nullptr;
    }
    bool usable() const
    {
        return get_class_devs && enum_device_info && open_dev_reg_key && get_property && destroy &&
               get_instance_id;
    }
    ~setupapi()
    {
        if (lib)
            FreeLibrary(lib);
    }
};

// The port a device of the Ports class drives, from its "PortName" value.
bool port_name_of(const setupapi &api, HDEVINFO set, SP_DEVINFO_DATA *dev, char *name, DWORD size)
{
    HKEY key = api.open_dev_reg_key(set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return false;
    DWORD type = 0, len = size - 1;
    const LONG rc =
        RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &len);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ)
        return false;
    name[len < size ? len : size - 1] = 0;
    return true;
}

port_info *find_port(port_info *ports, int count, const char *name)
{
    for (int i = 0; i < count; ++i) {
        const char *path = ports[i].path;
        if (std::strncmp(path, "\\\\.\\", 4) == 0)
            path += 4;
        if (_stricmp(path, name) == 0)
            return &ports[i];
    }
    return nullptr;
}

bool text_property(const setupapi &api, HDEVINFO set, SP_DEVINFO_DATA *dev, DWORD which, char *text,
                   DWORD size)
{
    const bool ok = api.get_property(set, dev, which, nullptr, reinterpret_cast<BYTE *>(text),
                                     size - 1, nullptr);
    text[ok ? size - 1 : 0] = 0;
    return ok;
}

// "VID_0403" inside a hardware id such as "USB\VID_0403&PID_6001&REV_0600"
// or "FTDIBUS\COMPORT&VID_0403&PID_6001".
bool hex_after(const char *ids, const char *key, uint16_t *value)
{
    const char *at = std::strstr(ids, key);
    if (!at)
        return false;
    char digits[5] = {};
    std::memcpy(digits, at + std::strlen(key), 4);
    char *end = nullptr;
    *value = uint16_t(std::strtoul(digits, &end, 16));
    return end == digits + 4;
}

// The USB product string as the device reported it, in UTF-8.
void bus_product(const setupapi &api, HDEVINFO set, SP_DEVINFO_DATA *dev, port_info *port)
{
    static const DEVPROPKEY bus_reported_desc = {
        {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};
    wchar_t text[128];
    DEVPROPTYPE type = 0;
    if (!api.get_devprop ||
        !api.get_devprop(set, dev, &bus_reported_desc, &type, reinterpret_cast<BYTE *>(text),
                         sizeof text - sizeof *text, nullptr, 0) ||
        type != DEVPROP_TYPE_STRING)
        return;
    text[127] = 0;
    if (!WideCharToMultiByte(CP_UTF8, 0, text, -1, port->product, sizeof port->product, nullptr,
                             nullptr))
        port->product[0] = 0;
}

void usb_identity(const setupapi &api, HDEVINFO set, SP_DEVINFO_DATA *dev, port_info *port)
{
    // A multi-string; the first id carries the vendor and product.
    char ids[512] = {};
    char instance[256] = {};
    if (!text_property(api, set, dev, SPDRP_HARDWAREID, ids, sizeof ids - 1) ||
        !hex_after(ids, "VID_", &port->vid) || !hex_after(ids, "PID_", &port->pid)) {
        port->vid = port->pid = 0;
        return;
    }
    port->usb = true;
    // "USB\VID_2341&PID_0043\85734323231351F0F0A1": the last part is the
    // serial number, unless Windows made one up (it then holds '&').
    if (api.get_instance_id(set, dev, instance, sizeof instance, nullptr) &&
        _strnicmp(instance, "USB\\", 4) == 0) {
        const char *last = std::strrchr(instance, '\\');
        if (last && !std::strchr(last, '&'))
            std::snprintf(port->serial, sizeof port->serial, "%s", last + 1);
    }
    text_property(api, set, dev, SPDRP_LOCATION_INFORMATION, port->location, sizeof port->location);
    bus_product(api, set, dev, port);
}

} // namespace

// Shared with port_watch.cpp, which declares it: fills the description and
// the USB fields of every port in `ports` that a Ports-class device drives.
void ports_win32_describe(port_info *ports, int count)
{
    const setupapi api;
    if (!api.usable() || count <= 0)
        return;
    // The Ports (COM & LPT) device class.
    const GUID ports_class = {
        0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO set = api.get_class_devs(&ports_class, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; api.enum_device_info(set, i, &dev); ++i) {
        char name[PORT_PATH_MAX];
        port_info *port = port_name_of(api, set, &dev, name, sizeof name)
                              ? find_port(ports, count, name)
                              : nullptr;
        if (!port)
            continue;
        text_property(api, set, &dev, SPDRP_DEVICEDESC, port->description,
                      sizeof port->description);
        usb_identity(api, set, &dev, port);
    }
    api.destroy(set);
}

int ports_list(port_info *out, int max)
{
    if (!out || max <= 0)
        return 0;
    int count = 0;
    for (int n = 1; n <= 255 && count < max; ++n) {
        char dev[32];
        std::snprintf(dev, sizeof dev, "\\\\.\\COM%d", n);
        HANDLE h =
            CreateFileA(dev, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        CloseHandle(h);
        std::memset(&out[count], 0, sizeof *out);
        // COM1..COM9 open by their plain name; higher numbers need the
        // device namespace form.
        if (n < 10)
            std::snprintf(out[count].path, sizeof out->path, "COM%d", n);
        else
            std::snprintf(out[count].path, sizeof out->path, "%s", dev);
        ++count;
    }
    ports_win32_describe(out, count);
    return count;
}
