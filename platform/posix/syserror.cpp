#include "platform/syserror.h"

#include <cerrno>
#include <cstring>

uint32_t platform_last_error() { return uint32_t(errno); }

int platform_error_text(uint32_t code, char *dest, int size)
{
    if (!dest || size <= 0)
        return 0;
    const char *text = strerror(int(code));
    size_t len = text ? std::strlen(text) : 0;
    if (len == 0 || len + 1 > size_t(size))
        return 0;
    std::memcpy(dest, text, len + 1);
    return int(len);
}
