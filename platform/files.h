// What the record of a production run needs from the system: durable appends
// and the machine's name.
#pragma once

#include <cstddef>

// Appends n bytes to the file at `path` (made when missing) in one write and
// has them on disk before returning, so a record reported is a record kept.
// A write that does not go whole (a full disk) is taken back: the file never
// ends in half a record. 0, or -1 with platform_last_error() telling why.
int platform_append_durable(const char *path, const void *data, size_t n);
// Whether the file at `path` can be opened for appending (made when
// missing), without writing to it. 0, or -1 with platform_last_error().
int platform_append_check(const char *path);
// The machine's name; "" when unknown.
void platform_host_name(char *dest, size_t size);
