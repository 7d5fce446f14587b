// Adds or removes one device of the Ports class, as a USB serial adapter's
// driver would register it:  zmk-fake-port add COMn DESCRIPTION | remove
#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <cstring>

namespace {

const GUID ports_class = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const char instance[] = "ROOT\\PORTS\\ZMKTEST";

void remove(HDEVINFO set)
{
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    if (SetupDiOpenDeviceInfoA(set, instance, nullptr, 0, &dev))
        SetupDiRemoveDevice(set, &dev);
}

bool add(HDEVINFO set, const char *port, const char *description)
{
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    if (!SetupDiCreateDeviceInfoA(set, instance, &ports_class, nullptr, nullptr, 0, &dev) ||
        !SetupDiRegisterDeviceInfo(set, &dev, 0, nullptr, nullptr, nullptr) ||
        !SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_DEVICEDESC,
                                           reinterpret_cast<const BYTE *>(description),
                                           DWORD(std::strlen(description) + 1)))
        return false;
    HKEY key = SetupDiCreateDevRegKeyA(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE)
        return false;
    const LONG rc = RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE *>(port),
                                   DWORD(std::strlen(port) + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

} // namespace

int main(int argc, char **argv)
{
    const bool adding = argc == 4 && std::strcmp(argv[1], "add") == 0;
    if (!adding && !(argc == 2 && std::strcmp(argv[1], "remove") == 0)) {
        std::fprintf(stderr, "usage: zmk-fake-port add COMn DESCRIPTION | remove\n");
        return 2;
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(&ports_class, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return 1;
    remove(set); // a leftover of an earlier run
    const bool ok = !adding || add(set, argv[2], argv[3]);
    if (!ok)
        std::fprintf(stderr, "zmk-fake-port: error %lu\n", GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    return ok ? 0 : 1;
}
