#include "platform/resource.h"

#include <windows.h>

const uint8_t *resource_find(const char *name, uint32_t *size)
{
    *size = 0;
    // A null module is the program's own executable.
    HRSRC info = FindResourceA(nullptr, name, MAKEINTRESOURCEA(10));
    if (!info)
        return nullptr;
    HGLOBAL loaded = LoadResource(nullptr, info);
    if (!loaded)
        return nullptr;
    auto *data = static_cast<const uint8_t *>(LockResource(loaded));
    if (data)
        *size = SizeofResource(nullptr, info);
    return data;
}
