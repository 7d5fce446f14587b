#include "tools/devsim/violations.h"

#include "tools/devsim/devsim.h"

#include <cstdarg>
#include <cstdio>

void violate(violation_log *log, const char *fmt, ...)
{
    ++log->count;
    if (log->texts.size() >= DEVSIM_MAX_VIOLATIONS)
        return;
    char text[200];
    int head = std::snprintf(text, sizeof text, "frame %u: ", log->frame);
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text + head, sizeof text - size_t(head), fmt, ap);
    va_end(ap);
    log->texts.emplace_back(text);
}
