// The violations found in a session, each with the number of the frame it
// was found in. Texts are kept up to DEVSIM_MAX_VIOLATIONS; the count goes on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct violation_log {
    uint32_t frame = 1; // the frame being received or handled
    uint32_t count = 0;
    std::vector<std::string> texts;
};

void violate(violation_log *log, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
