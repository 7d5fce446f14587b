// The resource lookup where the build generates the table (no resource
// compiler): the same name rule as the Windows one, case not counting.
#include "platform/resource.h"

#include <cctype>

namespace {

bool same_name(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

} // namespace

const uint8_t *resource_find(const char *name, uint32_t *size)
{
    for (int i = 0; i < resource_count; ++i) {
        if (same_name(resource_table[i].name, name)) {
            *size = resource_table[i].size;
            return resource_table[i].data;
        }
    }
    *size = 0;
    return nullptr;
}
