// zmk-cli's advice for a port that would not open: what to type or whom to
// ask, from the facts platform/ gathers.
#pragma once

#include <cstddef>
#include <cstdint>

// One line for a failure of kind `kind` (a port_error_kind) on `path`, in
// `dest`; empty when there is nothing to advise.
void cli_open_advice(int kind, const char *path, char *dest, size_t size);

// What to say of an adapter on `port` that holds replies `ms` because its
// latency timer (the attribute or registry value `path`) could not be lowered:
// the cost and the fix this system offers.
void cli_latency_warning(const char *port, int32_t ms, const char *path, char *dest, size_t size);
