#include "platform/port_error.h"

#include <cstdio>
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

const char *port_error_advice(port_error_kind kind)
{
    switch (kind) {
    case PORT_ERR_MISSING:
        return "check the cable and the name; zmk-cli --list shows the ports found";
    case PORT_ERR_IN_USE: return "close that program, then program the device again";
    case PORT_ERR_NOT_A_PORT:
        return "name the serial port itself, such as COM3; zmk-cli --list shows the ports found";
    default: return "";
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

void port_permission_advice(const char *path, char *dest, size_t size)
{
    if (size)
        std::snprintf(dest, size,
                      "another program may hold %s, or the administrator has not allowed this "
                      "user to open it",
                      path ? path : "the port");
}
