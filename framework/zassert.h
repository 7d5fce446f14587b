// Always-on assertion: the check stays in release builds, because a broken
// invariant while programming flash must stop the run, not corrupt the device.
#pragma once

[[noreturn]] void zmk_assert_fail(const char *expr, const char *file, int line);
// The same report with one more line of detail after it (a buffer's offsets).
[[noreturn]] void zmk_assert_fail_detail(const char *expr, const char *file, int line,
                                         const char *detail);

// Prints "Assertion failed: <expr>, file <file>, line <line>" and aborts.
#define ZMK_ASSERT(expr) ((expr) ? (void)0 : zmk_assert_fail(#expr, __FILE__, __LINE__))
