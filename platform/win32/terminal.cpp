#include "platform/terminal.h"

#include <cstdio>
#include <io.h>

int platform_stdout_is_terminal() { return _isatty(_fileno(stdout)) ? 1 : 0; }
