#include "app/run/end.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char *words[] = {"ok",           "silent",      "refused",    "erase-timeout",
                                 "disconnected", "in-use",      "permission", "not-a-port",
                                 "no-port",      "interrupted", "crashed"};

} // namespace

const char *run_result_word(run_result r) { return words[r]; }

bool run_result_parse(const char *word, run_result *out)
{
    for (int i = 0; i <= RUN_CRASHED; ++i)
        if (std::strcmp(word, words[i]) == 0) {
            *out = run_result(i);
            return true;
        }
    return false;
}

run_result run_result_of(zmk_verdict v)
{
    switch (v) {
    case ZMK_SILENT: return RUN_SILENT;
    case ZMK_REFUSED: return RUN_REFUSED;
    case ZMK_ERASE_TIMEOUT: return RUN_ERASE_TIMEOUT;
    case ZMK_DISCONNECTED: return RUN_DISCONNECTED;
    default: return RUN_OK;
    }
}

run_end run_end_make(int exit, run_result result, const char *message)
{
    run_end e;
    e.exit = exit;
    e.result = result;
    std::snprintf(e.message, sizeof e.message, "%s", message);
    return e;
}
