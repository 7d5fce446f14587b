#include "platform/terminal.h"

#include <unistd.h>

int platform_stdout_is_terminal() { return ::isatty(STDOUT_FILENO) ? 1 : 0; }
