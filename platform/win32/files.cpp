#include "platform/files.h"

#include <windows.h>

int platform_append_durable(const char *path, const void *data, size_t n)
{
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    DWORD written = 0;
    const bool ok =
        WriteFile(h, data, DWORD(n), &written, nullptr) && written == n && FlushFileBuffers(h);
    const DWORD e = GetLastError();
    CloseHandle(h);
    SetLastError(e);
    return ok ? 0 : -1;
}

void platform_host_name(char *dest, size_t size)
{
    DWORD n = DWORD(size);
    if (size == 0)
        return;
    if (!GetComputerNameA(dest, &n))
        dest[0] = 0;
}
