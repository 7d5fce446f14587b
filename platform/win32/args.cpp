// Windows shows the command line the process was created with, kept in its
// PEB; main's argv is the C library's copy of it. Rewriting the PEB's string
// is undocumented and leaves the creator's copy anyway, so nothing is done:
// on Windows a password on the command line stays visible to the user's own
// processes and to administrators.
#include "platform/args.h"

void platform_arg_rewrite(char *, const std::string &) {}
