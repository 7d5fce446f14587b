#include "platform/terminal.h"

#include <windows.h>

#include <cstdio>
#include <io.h>

int platform_stdout_is_terminal() { return _isatty(_fileno(stdout)) ? 1 : 0; }

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

int platform_stdout_enable_ansi()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!platform_stdout_is_terminal() || !GetConsoleMode(out, &mode))
        return 0;
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) ? 1 : 0;
}
