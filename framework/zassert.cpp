#include "framework/zassert.h"

#include <cstdio>
#include <cstdlib>

void zmk_assert_fail(const char *expr, const char *file, int line)
{
    zmk_assert_fail_detail(expr, file, line, nullptr);
}

void zmk_assert_fail_detail(const char *expr, const char *file, int line, const char *detail)
{
    std::fflush(stdout);
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expr, file, line);
    if (detail)
        std::fprintf(stderr, "  %s\n", detail);
    std::fflush(stderr);
    std::abort();
}
