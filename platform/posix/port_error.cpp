#include "platform/port_error.h"

#include <cerrno>

port_error_kind port_error_classify(uint32_t code)
{
    switch (code) {
    case 0: return PORT_ERR_NONE;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return PORT_ERR_MISSING;
    case EBUSY:
    case EWOULDBLOCK: return PORT_ERR_IN_USE;
    case EACCES:
    case EPERM: return PORT_ERR_PERMISSION;
    case ENOTTY:
    case EISDIR: return PORT_ERR_NOT_A_PORT;
    default: return PORT_ERR_OTHER;
    }
}

const char *port_error_advice(port_error_kind kind)
{
    switch (kind) {
    case PORT_ERR_MISSING:
        return "check the cable and the name; zmk-cli --list shows the ports found";
    case PORT_ERR_IN_USE:
        return "close the other program that holds the port (fuser PORT names it)";
    case PORT_ERR_PERMISSION:
        return "serial ports belong to the dialout group: run "
               "'sudo usermod -aG dialout $USER' and log in again";
    case PORT_ERR_NOT_A_PORT:
        return "name the serial device itself, such as /dev/ttyUSB0; zmk-cli --list shows "
               "the ports found";
    default: return "";
    }
}
