// The system's own error codes (GetLastError / errno) and their descriptions.
#pragma once

#include <cstdint>

// The system's last error now, 0 if none. A failing port call leaves its
// reason here too.
uint32_t platform_last_error();
// Writes the system's description of `code` into dest (at most size bytes
// including the terminating NUL); returns the number of characters written,
// 0 when there is none or it does not fit.
int platform_error_text(uint32_t code, char *dest, int size);
