#include "platform/syserror.h"

#include <windows.h>

uint32_t platform_last_error() { return GetLastError(); }

int platform_error_text(uint32_t code, char *dest, int size)
{
    if (!dest || size <= 0)
        return 0;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, dest, DWORD(size), nullptr);
    return int(n);
}
