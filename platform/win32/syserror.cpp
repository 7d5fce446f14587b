#include "platform/serial.h"

#include <windows.h>

uint32_t platform_last_error() { return GetLastError(); }
