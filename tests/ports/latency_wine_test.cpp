// The adapter's latency timer read from the registry under Wine, where the
// test writes the driver's keys itself.
#include "platform/latency.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const std::string bus = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
const char *const devices[] = {"VID_0403+PID_6001+TEST", "VID_0403+PID_6015+OTHER"};

class LatencyWine : public ::testing::Test {
  protected:
    void SetUp() override { TearDown(); }
    void TearDown() override
    {
        for (const char *d : devices)
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, (bus + "\\" + d).c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, bus.c_str()); // only when nothing else is in it
    }
    static std::string params(const char *device, const char *instance)
    {
        return bus + "\\" + device + "\\" + instance + "\\Device Parameters";
    }
    // The driver's parameters of one adapter; a value type of REG_NONE leaves the timer out.
    static void add(const char *device, const char *instance, const char *port, DWORD type,
                    DWORD ms)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, params(device, instance).c_str(), 0, nullptr,
                                  0, KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE *>(port),
                       DWORD(std::strlen(port) + 1));
        if (type == REG_DWORD)
            RegSetValueExA(key, "LatencyTimer", 0, REG_DWORD, reinterpret_cast<BYTE *>(&ms),
                           sizeof ms);
        else if (type == REG_SZ)
            RegSetValueExA(key, "LatencyTimer", 0, REG_SZ, reinterpret_cast<const BYTE *>("16"), 3);
        RegCloseKey(key);
    }
    static DWORD stored_ms(const char *device, const char *instance)
    {
        DWORD ms = 0, len = sizeof ms;
        RegGetValueA(HKEY_LOCAL_MACHINE, params(device, instance).c_str(), "LatencyTimer",
                     RRF_RT_REG_DWORD, nullptr, &ms, &len);
        return ms;
    }
};

} // namespace

TEST_F(LatencyWine, EachFormOfThePortNameFindsTheTimerAndNothingIsWritten)
{
    add(devices[0], "0000", "COM7", REG_DWORD, 16);
    const std::string value = "HKLM\\" + params(devices[0], "0000") + "\\LatencyTimer";
    for (const char *name : {"COM7", "\\\\.\\COM7", "com7"}) {
        port_latency l;
        ASSERT_TRUE(port_latency_read(name, &l)) << name;
        EXPECT_EQ(l.ms, 16) << name;
        EXPECT_FALSE(l.settable) << name;
        EXPECT_EQ(std::string(l.path), value) << name;
    }
    port_latency l;
    ASSERT_TRUE(port_latency_lower("COM7", &l));
    EXPECT_EQ(l.ms, 16);
    EXPECT_EQ(stored_ms(devices[0], "0000"), 16u) << "the registry is only read";
}

TEST_F(LatencyWine, ThePortIsFoundAmongOtherInstancesAndDevices)
{
    add(devices[0], "0000", "COM17", REG_DWORD, 16); // COM17 is not COM7
    add(devices[0], "0001", "COM7", REG_DWORD, 1);
    add(devices[1], "0000", "COM8", REG_DWORD, 32);
    port_latency l;
    ASSERT_TRUE(port_latency_read("COM7", &l));
    EXPECT_EQ(l.ms, 1);
    EXPECT_NE(std::string(l.path).find("\\0001\\Device Parameters\\"), std::string::npos) << l.path;
    ASSERT_TRUE(port_latency_read("COM8", &l));
    EXPECT_EQ(l.ms, 32);
    ASSERT_TRUE(port_latency_read("COM17", &l));
    EXPECT_EQ(l.ms, 16);
}

TEST_F(LatencyWine, NoTimerIsFoundWhereTheDriverKeepsNone)
{
    port_latency l;
    EXPECT_FALSE(port_latency_read("COM7", &l)) << "no adapter at all";
    add(devices[0], "0000", "COM7", REG_NONE, 0);
    add(devices[1], "0000", "COM8", REG_SZ, 0);
    EXPECT_FALSE(port_latency_read("COM7", &l)) << "no LatencyTimer";
    EXPECT_EQ(l.ms, -1);
    EXPECT_FALSE(port_latency_read("COM8", &l)) << "a LatencyTimer that is no number";
    EXPECT_FALSE(port_latency_read("COM9", &l)) << "another port";
    EXPECT_FALSE(port_latency_lower("COM9", &l));
    EXPECT_FALSE(port_latency_read("", &l));
}
