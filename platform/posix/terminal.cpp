#include "platform/terminal.h"

#include <unistd.h>

int platform_stdout_is_terminal() { return ::isatty(STDOUT_FILENO) ? 1 : 0; }

int platform_stdout_enable_ansi() { return platform_stdout_is_terminal(); }
