#include "app/verdict.h"

#include "layers/lprog.h"

#include <cstdio>

void verdict_init(verdict_watch *t, uint32_t now_ms)
{
    *t = verdict_watch{};
    t->last_ack_ms = now_ms;
    t->last_life_ms = now_ms;
}

void verdict_sent(verdict_watch *t, const zmk_event *e, uint32_t now_ms)
{
    if (e->command == LPROG_WAIT_ERASE && !t->erase_started) {
        t->erase_started = 1;
        t->erase_start_ms = now_ms;
    }
    t->command = e->command;
    t->address = e->address;
}

namespace {

bool past(uint32_t since, uint32_t now_ms, uint32_t limit_ms)
{
    return limit_ms > 0 && now_ms - since >= limit_ms;
}

// Nothing acknowledged lately: what the device does instead.
zmk_verdict waiting(const verdict_watch *t, uint32_t now_ms)
{
    if (now_ms - t->last_ack_ms < VERDICT_WAITING_MS)
        return ZMK_GOING;
    if (t->still_erasing)
        return ZMK_ERASING;
    return t->other_seen && now_ms - t->last_other_ms < VERDICT_WAITING_MS ? ZMK_REFUSING
                                                                           : ZMK_NO_ANSWER;
}

} // namespace

zmk_verdict verdict_answer(verdict_watch *t, const zmk_event *e, uint32_t now_ms,
                           const zmk_limits &limits)
{
    t->still_erasing = e->command == LPROG_WAIT_ERASE && e->answer == ZMK_OTHER;
    if (e->answer == ZMK_GONE)
        return ZMK_DISCONNECTED;
    if (e->answer == ZMK_ACK) {
        t->last_ack_ms = t->last_life_ms = now_ms;
        t->other_seen = 0;
        return ZMK_GOING;
    }
    if (e->answer == ZMK_OTHER) {
        t->last_life_ms = t->last_other_ms = now_ms;
        t->other_seen = 1;
        std::snprintf(t->other_text, sizeof t->other_text, "%s", e->text ? e->text : "");
    }
    // The erase poll answered "not yet": the device is busy erasing, which
    // may take long, but not for ever.
    if (e->command == LPROG_WAIT_ERASE && t->other_seen) {
        if (past(t->erase_start_ms, now_ms, limits.erase_timeout_ms))
            return ZMK_ERASE_TIMEOUT;
        if (past(t->last_life_ms, now_ms, limits.ack_timeout_ms))
            return ZMK_SILENT;
        return waiting(t, now_ms);
    }
    if (!past(t->last_ack_ms, now_ms, limits.ack_timeout_ms))
        return waiting(t, now_ms);
    return t->other_seen && !past(t->last_other_ms, now_ms, limits.ack_timeout_ms) ? ZMK_REFUSED
                                                                                   : ZMK_SILENT;
}

void verdict_describe(uint32_t command, uint32_t address, char *dest, size_t size)
{
    // On the wire the poll is a PROGRAM without data; a person knows it as this.
    if (command == LPROG_WAIT_ERASE)
        std::snprintf(dest, size, "the erase poll");
    else if (command == LPROG_PROGRAM || command == LPROG_REWRITE_FIRST)
        std::snprintf(dest, size, "%s at 0x%lx", lprog_command_name(command),
                      static_cast<unsigned long>(address));
    else
        std::snprintf(dest, size, "%s", lprog_command_name(command));
}

namespace {

// "(gives up at 30 s)", or "(waits for ever)" when there is no limit.
void give_up(uint32_t limit_ms, char *dest, size_t size)
{
    if (limit_ms > 0)
        std::snprintf(dest, size, "(gives up at %g s)", limit_ms / 1000.0);
    else
        std::snprintf(dest, size, "(waits for ever)");
}

void format_waiting(const verdict_watch *t, zmk_verdict v, uint32_t now_ms,
                    const zmk_limits &limits, const char *command, char *dest, size_t size)
{
    char limit[32];
    give_up(v == ZMK_ERASING ? limits.erase_timeout_ms : limits.ack_timeout_ms, limit,
            sizeof limit);
    if (v == ZMK_ERASING)
        std::snprintf(dest, size, "still erasing for %u s %s",
                      unsigned((now_ms - t->erase_start_ms) / 1000), limit);
    else if (v == ZMK_REFUSING)
        std::snprintf(dest, size, "answers %s to %s %s",
                      t->other_text[0] ? t->other_text : "an empty packet", command, limit);
    else
        std::snprintf(dest, size, "no answer for %u s, waiting on %s %s",
                      unsigned((now_ms - t->last_ack_ms) / 1000), command, limit);
}

} // namespace

const char *verdict_status_word(zmk_verdict v)
{
    switch (v) {
    case ZMK_DISCONNECTED:
        return "Disconnected";
    case ZMK_REFUSED:
        return "Refused";
    case ZMK_ERASE_TIMEOUT:
        return "Erase too long";
    default:
        return "No answer";
    }
}

void verdict_format(const verdict_watch *t, zmk_verdict v, uint32_t now_ms,
                    const zmk_limits &limits, char *dest, size_t size)
{
    char command[48];
    verdict_describe(t->command, t->address, command, sizeof command);
    switch (v) {
    case ZMK_DISCONNECTED:
        std::snprintf(dest, size, "the device disconnected while waiting on %s", command);
        break;
    case ZMK_REFUSED:
        std::snprintf(dest, size, "the device refuses %s: it answers %s", command,
                      t->other_text[0] ? t->other_text : "with an empty packet");
        break;
    case ZMK_ERASE_TIMEOUT:
        std::snprintf(dest, size,
                      "the erase did not finish within %g s: the device still answers %s to "
                      "the erase poll",
                      limits.erase_timeout_ms / 1000.0, t->other_text);
        break;
    case ZMK_SILENT:
        std::snprintf(dest, size,
                      "the device stopped answering: nothing acknowledged for %.1f s while "
                      "waiting on %s",
                      (now_ms - t->last_ack_ms) / 1000.0, command);
        break;
    default: format_waiting(t, v, now_ms, limits, command, dest, size);
    }
}
