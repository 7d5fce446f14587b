// Serial port discovery on Windows: probe COM1..COM255 and keep the ones that
// open now. The device namespace form also reaches COM10 and above.
#include "platform/ports.h"

#include <windows.h>

#include <cstdio>
#include <io.h>

int ports_list(port_info *out, int max)
{
    if (!out || max <= 0)
        return 0;
    int count = 0;
    for (int n = 1; n <= 255 && count < max; ++n) {
        char dev[32];
        std::snprintf(dev, sizeof dev, "\\\\.\\COM%d", n);
        HANDLE h =
            CreateFileA(dev, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        CloseHandle(h);
        // COM1..COM9 open by their plain name; higher numbers need the
        // device namespace form.
        if (n < 10)
            std::snprintf(out[count].path, sizeof out->path, "COM%d", n);
        else
            std::snprintf(out[count].path, sizeof out->path, "%s", dev);
        out[count].description[0] = 0;
        ++count;
    }
    return count;
}

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
    case PORT_ERR_IN_USE: return "close the other program that holds the port";
    case PORT_ERR_NOT_A_PORT:
        return "name the serial port itself, such as COM3; zmk-cli --list shows the ports found";
    default: return "";
    }
}

int platform_stdout_is_terminal() { return _isatty(_fileno(stdout)) ? 1 : 0; }
