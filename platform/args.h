// The program's own arguments as the process list shows them.
#pragma once

#include <string>

// Writes `text` over the argument `arg` (one of main's argv), which is at
// least as long, the rest of it cleared, so that the process list shows
// `text` from now on (cut to the argument's length). Whoever needs the old
// value copies it first.
void platform_arg_rewrite(char *arg, const std::string &text);
