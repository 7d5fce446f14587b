// Serial port discovery on Windows: probe COM1..COM255 and keep the ones that
// open now. The device namespace form also reaches COM10 and above. Each
// port's description is what Device Manager shows for its device.
#include "platform/ports.h"

#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <io.h>

namespace {

// The functions of SetupAPI that describing needs. It is loaded only when
// ports are listed, so programs that never list them do not load it.
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

    template <typename F> F load(const char *name)
    {
        return lib ? reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(lib, name)))
                   : nullptr;
    }
    bool usable() const
    {
        return get_class_devs && enum_device_info && open_dev_reg_key && get_property && destroy;
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

void describe_ports(port_info *ports, int count)
{
    const setupapi api;
    if (!api.usable())
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
        char name[32];
        port_info *port = port_name_of(api, set, &dev, name, sizeof name)
                              ? find_port(ports, count, name)
                              : nullptr;
        if (!port)
            continue;
        char *text = port->description;
        const DWORD size = sizeof port->description;
        if (!api.get_property(set, &dev, SPDRP_DEVICEDESC, nullptr, reinterpret_cast<BYTE *>(text),
                              size - 1, nullptr))
            text[0] = 0;
        text[size - 1] = 0;
    }
    api.destroy(set);
}

} // namespace

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
        // COM1..COM9 open by their plain name; higher numbers need the
        // device namespace form.
        if (n < 10)
            std::snprintf(out[count].path, sizeof out->path, "COM%d", n);
        else
            std::snprintf(out[count].path, sizeof out->path, "%s", dev);
        std::memset(out[count].description, 0, sizeof out->description);
        ++count;
    }
    describe_ports(out, count);
    return count;
}
