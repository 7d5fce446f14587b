#include "platform/port_error.h"

#include <windows.h>

port_error_kind port_error_classify(uint32_t code)
{
    switch (code) {
    case 0: return PORT_ERR_NONE;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT: return PORT_ERR_MISSING;
    // A COM port held by another program refuses with "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return PORT_ERR_IN_USE;
    // What the comm API answers for a file, a pipe or NUL.
    case ERROR_INVALID_FUNCTION: return PORT_ERR_NOT_A_PORT;
    default: return PORT_ERR_OTHER;
    }
}

int port_holders(const char *, char *dest, size_t size, bool *unchecked)
{
    if (size)
        dest[0] = 0;
    if (unchecked)
        *unchecked = false;
    return 0;
}

// The system refuses a second opener and keeps no owner, group and mode to read.
void port_access_examine(const char *, port_access *out) { *out = port_access{}; }
