#include "platform/latency.h"

// The timer of a Windows adapter is its driver's setting, not ours to find.
bool port_latency_read(const char *, port_latency *out)
{
    *out = port_latency{};
    return false;
}

bool port_latency_lower(const char *name, port_latency *out)
{
    return port_latency_read(name, out);
}
