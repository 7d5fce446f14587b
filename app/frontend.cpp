#include "app/frontend.h"

#include <cstdio>
#include <cstdlib>

namespace {

void default_message_box(const char *text, const char *caption)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s", caption, text);
    std::fflush(stderr);
}

void default_tone(uint32_t, uint32_t) {}

int default_status(const char *) { return 0; }

void default_console(const char *text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The console shows each command's line as it goes out, and the whole
// sentence of a failure, which the status field has only a word for.
void default_event(void *, const zmk_event *e)
{
    if (e->kind == ZMK_SENT) {
        default_console(e->text);
    } else if (e->kind == ZMK_FAILED) {
        char line[300];
        std::snprintf(line, sizeof line, " ! Stopped: %s\n", e->text);
        default_console(line);
    }
}

[[noreturn]] void default_exit(int status) { std::exit(status); }

constexpr zmk_frontend defaults{default_message_box, default_tone, default_status, default_console,
                                default_event,       nullptr,      default_exit};

zmk_frontend current = defaults;

} // namespace

void frontend_set(const zmk_frontend *f)
{
    current = f ? *f : zmk_frontend{};
    if (!current.message_box)
        current.message_box = defaults.message_box;
    if (!current.tone)
        current.tone = defaults.tone;
    if (!current.status)
        current.status = defaults.status;
    if (!current.console)
        current.console = defaults.console;
    if (!current.event)
        current.event = defaults.event;
    if (!current.exit_process)
        current.exit_process = defaults.exit_process;
}

const zmk_frontend *frontend_get() { return &current; }
