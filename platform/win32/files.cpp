#include "platform/files.h"

#include <windows.h>

namespace {

HANDLE open_append(const char *path)
{
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// One write of all n bytes at the end, or none of them left in the file.
bool append_whole(HANDLE h, const void *data, size_t n)
{
    LARGE_INTEGER end{}, zero{};
    if (!SetFilePointerEx(h, zero, &end, FILE_END))
        return false;
    DWORD written = 0;
    const BOOL wrote = WriteFile(h, data, DWORD(n), &written, nullptr);
    if (wrote && written == n)
        return true;
    const DWORD e = wrote ? DWORD(ERROR_DISK_FULL) : GetLastError();
    SetFilePointerEx(h, end, nullptr, FILE_BEGIN);
    SetEndOfFile(h);
    SetLastError(e);
    return false;
}

} // namespace

int platform_append_durable(const char *path, const void *data, size_t n)
{
    HANDLE h = open_append(path);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED whole{};
    LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    const bool ok = append_whole(h, data, n) && FlushFileBuffers(h);
    const DWORD e = GetLastError();
    CloseHandle(h);
    SetLastError(e);
    return ok ? 0 : -1;
}

int platform_append_check(const char *path)
{
    HANDLE h = open_append(path);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    CloseHandle(h);
    return 0;
}

void platform_host_name(char *dest, size_t size)
{
    DWORD n = DWORD(size);
    if (size == 0)
        return;
    if (!GetComputerNameA(dest, &n))
        dest[0] = 0;
}
