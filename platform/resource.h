// Raw data resources of the program (the embedded flash image). Windows keeps
// them in the executable's resources; elsewhere the build generates a table.
#pragma once

#include <cstdint>

// Read-only view of the RCDATA resource `name` (compared without regard to
// case) and its size. Returns nullptr and size 0 when there is none.
const uint8_t *resource_find(const char *name, uint32_t *size);

// The generated table behind resource_find where there is no resource
// compiler (zmk_resources provides it).
struct resource_entry {
    const char *name;
    const uint8_t *data;
    uint32_t size;
};
extern const resource_entry resource_table[];
extern const int resource_count;
