// The port watch and port_identify under Wine. Wine adds no COM ports while
// it runs, so the test edits the system's COM list itself, as a serial
// driver would, and registers the USB device of the Ports class behind one.
#include "tests/ports/poll_across.h"

#include <windows.h>

#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

// In setupapi.dll, but not in mingw-w64's header.
extern "C" WINSETUPAPI BOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA,
                                                             const DEVPROPKEY *, DEVPROPTYPE,
                                                             const BYTE *, DWORD, DWORD);

namespace {

const char serialcomm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char instance[] = "USB\\VID_0403&PID_6001\\ZMK12345";
const GUID ports_class = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

void list_com(const char *device, const char *com)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, serialcomm, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, device, 0, REG_SZ, reinterpret_cast<const BYTE *>(com),
                             DWORD(std::strlen(com) + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void unlist_com(const char *device)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, serialcomm, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, device);
    RegCloseKey(key);
}

void remove_device()
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&ports_class, nullptr);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    if (SetupDiOpenDeviceInfoA(set, instance, nullptr, 0, &dev))
        SetupDiRemoveDevice(set, &dev);
    SetupDiDestroyDeviceInfoList(set);
}

bool set_text(HDEVINFO set, SP_DEVINFO_DATA *dev, DWORD which, const char *text, size_t len)
{
    return SetupDiSetDeviceRegistryPropertyA(set, dev, which, reinterpret_cast<const BYTE *>(text),
                                             DWORD(len));
}

// An FTDI adapter as its driver registers it, driving `com`.
bool add_usb_device(const char *com)
{
    static const DEVPROPKEY bus_reported_desc = {
        {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};
    static const char ids[] = "USB\\VID_0403&PID_6001&REV_0600\0USB\\VID_0403&PID_6001\0";
    static const char location[] = "Port_#0004.Hub_#0001";
    static const wchar_t product[] = L"ZMK Test Board";
    remove_device();
    HDEVINFO set = SetupDiCreateDeviceInfoList(&ports_class, nullptr);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    HKEY key = static_cast<HKEY>(INVALID_HANDLE_VALUE);
    bool ok =
        SetupDiCreateDeviceInfoA(set, instance, &ports_class, nullptr, nullptr, 0, &dev) &&
        SetupDiRegisterDeviceInfo(set, &dev, 0, nullptr, nullptr, nullptr) &&
        set_text(set, &dev, SPDRP_HARDWAREID, ids, sizeof ids) &&
        set_text(set, &dev, SPDRP_DEVICEDESC, "USB Serial Port", 16) &&
        set_text(set, &dev, SPDRP_LOCATION_INFORMATION, location, sizeof location) &&
        SetupDiSetDevicePropertyW(set, &dev, &bus_reported_desc, DEVPROP_TYPE_STRING,
                                  reinterpret_cast<const BYTE *>(product), sizeof product, 0) &&
        (key = SetupDiCreateDevRegKeyA(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr,
                                       nullptr)) != INVALID_HANDLE_VALUE &&
        RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE *>(com),
                       DWORD(std::strlen(com) + 1)) == ERROR_SUCCESS;
    if (key != INVALID_HANDLE_VALUE)
        RegCloseKey(key);
    if (!ok)
        std::fprintf(stderr, "add_usb_device: error %lu\n", GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

class PortWatchWine : public ::testing::Test {
  protected:
    void SetUp() override { TearDown(); }
    void TearDown() override
    {
        unlist_com("\\Device\\ZmkWatch0");
        unlist_com("\\Device\\ZmkWatch1");
        remove_device();
    }
    port_info out[PORTS_MAX];
};

TEST_F(PortWatchWine, ComListEntriesAreSeenComingAndGoingWithinHalfASecond)
{
    const char *patterns[] = {"com7?"}; // case does not matter
    port_watch *w = port_watch_new(patterns, 1);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(port_watch_poll(w, 0, out, PORTS_MAX), 0);

    change_seen seen = poll_across(
        w, [] { list_com("\\Device\\ZmkWatch0", "COM77"); }, out);
    ASSERT_EQ(seen.count, 1);
    EXPECT_LT(seen.late_ms, 500u);
    EXPECT_STREQ(out[0].path, "COM77");
    EXPECT_FALSE(out[0].usb);

    const uint32_t start = platform_tick_ms();
    EXPECT_EQ(port_watch_poll(w, 300, out, PORTS_MAX), 1);
    EXPECT_GE(platform_tick_ms() - start, 290u);

    seen = poll_across(
        w, [] { unlist_com("\\Device\\ZmkWatch0"); }, out);
    EXPECT_EQ(seen.count, 0);
    EXPECT_LT(seen.late_ms, 500u);
    port_watch_free(w);
}

TEST_F(PortWatchWine, UsbIdentityComesFromTheDeviceBehindThePort)
{
    ASSERT_TRUE(add_usb_device("COM78"));
    list_com("\\Device\\ZmkWatch1", "COM78");
    list_com("\\Device\\ZmkWatch0", "COM77"); // no device behind it
    const char *ftdi[] = {"usb:0403:6001"}, *other[] = {"usb:0403:6015"};
    for (port_watch *w : {port_watch_new(ftdi, 1), port_watch_new(nullptr, 0)}) {
        ASSERT_EQ(port_watch_poll(w, 0, out, PORTS_MAX), 1);
        EXPECT_STREQ(out[0].path, "COM78");
        EXPECT_TRUE(out[0].usb);
        EXPECT_EQ(out[0].vid, 0x0403);
        EXPECT_EQ(out[0].pid, 0x6001);
        EXPECT_STREQ(out[0].serial, "ZMK12345");
        EXPECT_STREQ(out[0].location, "Port_#0004.Hub_#0001");
        EXPECT_STREQ(out[0].product, "ZMK Test Board");
        port_watch_free(w);
    }
    port_watch *w = port_watch_new(other, 1);
    EXPECT_EQ(port_watch_poll(w, 0, out, PORTS_MAX), 0);
    port_watch_free(w);

    ASSERT_EQ(port_identify("\\\\.\\com78", out), 0);
    EXPECT_STREQ(out->path, "\\\\.\\com78");
    EXPECT_STREQ(out->serial, "ZMK12345");
    ASSERT_EQ(port_identify("COM77", out), 0);
    EXPECT_FALSE(out->usb);
    EXPECT_EQ(port_identify("COM79", out), -1);
}

// A COM name longer than a short field is kept whole; one longer than any
// path is told, not lost.
TEST_F(PortWatchWine, LongComNamesAreKeptWholeOrTold)
{
    const std::string whole = "COMZ" + std::string(100, 'w');
    const std::string too_long = "COMZ" + std::string(PORT_PATH_MAX, 't');
    list_com("\\Device\\ZmkWatch0", whole.c_str());
    list_com("\\Device\\ZmkWatch1", too_long.c_str());
    const char *patterns[] = {"comz*"};
    port_watch *w = port_watch_new(patterns, 1);
    ASSERT_EQ(port_watch_poll(w, 0, out, PORTS_MAX), 1);
    EXPECT_EQ(std::string(out[0].path), whole);
    const char *first = nullptr;
    EXPECT_EQ(port_watch_unkept(w, &first), 1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::string(first), too_long);
    port_watch_free(w);
}

} // namespace
