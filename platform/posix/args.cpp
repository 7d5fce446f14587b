// Linux reads /proc/PID/cmdline (and so ps) from the very memory main's argv
// points into: writing there is what the process list shows.
#include "platform/args.h"

#include <algorithm>
#include <cstring>

void platform_arg_rewrite(char *arg, const std::string &text)
{
    const size_t had = std::strlen(arg), put = std::min(had, text.size());
    std::memcpy(arg, text.data(), put);
    std::memset(arg + put, 0, had - put);
}
