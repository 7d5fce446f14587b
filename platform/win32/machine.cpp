#include "platform/machine.h"

#include <cstdio>
#include <string>
#include <windows.h>

namespace {

// The installation's GUID, from the 64-bit view whatever this build is.
std::string machine_guid()
{
    wchar_t text[64] = L"";
    DWORD bytes = sizeof text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid",
                     RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, text, &bytes) != ERROR_SUCCESS)
        return "";
    std::string out;
    for (const wchar_t *c = text; *c; ++c)
        if (*c < 0x80) // a GUID is ASCII
            out += char(*c);
    return out;
}

// When the machine started, to the minute: process ids begin anew with each boot.
std::string boot_minute()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const unsigned long long up = GetTickCount64() * 10000ull; // 100 ns units
    if (up > ticks)
        return "";
    char text[32];
    std::snprintf(text, sizeof text, "boot:%llu", (ticks - up) / 600000000ull);
    return text;
}

} // namespace

void platform_machine_id(char *dest, size_t size)
{
    if (size == 0)
        return;
    std::string id = machine_guid();
    const std::string boot = boot_minute();
    if (!boot.empty())
        id += (id.empty() ? "" : "/") + boot;
    std::snprintf(dest, size, "%s", id.c_str());
}
