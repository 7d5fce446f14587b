#include "platform/serial.h"

#include <cerrno>

uint32_t platform_last_error() { return uint32_t(errno); }
