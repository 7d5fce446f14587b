#include "platform/resource.h"

#include <strings.h>

const uint8_t *resource_find(const char *name, uint32_t *size)
{
    for (int i = 0; i < resource_count; ++i) {
        if (strcasecmp(resource_table[i].name, name) == 0) {
            *size = resource_table[i].size;
            return resource_table[i].data;
        }
    }
    *size = 0;
    return nullptr;
}
