// zmk-cli's watch over a run: what the device answers, when to give up, and
// the live line.
#include "app/cli/cli.h"

#include <cstdio>

void cli_watch_init(cli_watch *t, uint32_t now_ms)
{
    *t = cli_watch{};
    t->last_ack_ms = now_ms;
    t->last_life_ms = now_ms;
}

void cli_watch_sent(cli_watch *t, const zmk_event *e, uint32_t now_ms)
{
    if (e->command == LPROG_WAIT_ERASE && !t->erase_started) {
        t->erase_started = 1;
        t->erase_start_ms = now_ms;
    }
    if (e->command == LPROG_PROGRAM && !t->program_started) {
        t->program_started = 1;
        t->program_start_ms = now_ms;
        t->program_start_done = e->done;
    }
    // Polling a running erase is how the run waits, not a repeat.
    if (t->exchanges > 0 && e->command == t->last.state && e->address == t->last.address &&
        e->command != LPROG_WAIT_ERASE)
        ++t->repeats;
    t->last = lprog_progress{e->command, e->address, e->done, e->total};
    ++t->exchanges;
}

cli_verdict cli_watch_answer(cli_watch *t, const zmk_event *e, uint32_t now_ms, double timeout_ms,
                             double erase_timeout_ms)
{
    t->still_erasing = e->command == LPROG_WAIT_ERASE && e->answer == ZMK_OTHER;
    if (e->answer == ZMK_GONE)
        return CLI_DISCONNECTED;
    if (e->answer == ZMK_ACK) {
        t->last_ack_ms = t->last_life_ms = now_ms;
        t->other_seen = 0;
        return CLI_GO_ON;
    }
    if (e->answer == ZMK_OTHER) {
        t->last_life_ms = t->last_other_ms = now_ms;
        t->other_seen = 1;
        std::snprintf(t->other_text, sizeof t->other_text, "%s", e->text ? e->text : "");
    }
    // The erase poll answered "not yet": the device is busy erasing, which
    // may take long, but not for ever.
    if (e->command == LPROG_WAIT_ERASE && t->other_seen) {
        if (erase_timeout_ms > 0 && double(now_ms - t->erase_start_ms) >= erase_timeout_ms)
            return CLI_ERASE_TIMEOUT;
        if (timeout_ms > 0 && double(now_ms - t->last_life_ms) >= timeout_ms)
            return CLI_SILENT;
        return CLI_GO_ON;
    }
    if (timeout_ms <= 0 || double(now_ms - t->last_ack_ms) < timeout_ms)
        return CLI_GO_ON;
    return t->other_seen && double(now_ms - t->last_other_ms) < timeout_ms ? CLI_REFUSED
                                                                           : CLI_SILENT;
}

namespace {

// "PROGRAM at 0x1900", "ERASE".
void describe_command(const lprog_progress &p, char *dest, size_t size)
{
    if (p.state == LPROG_PROGRAM || p.state == LPROG_REWRITE_FIRST)
        std::snprintf(dest, size, "%s at 0x%lx", lprog_command_name(p.state),
                      static_cast<unsigned long>(p.address));
    else
        std::snprintf(dest, size, "%s", lprog_command_name(p.state));
}

} // namespace

void cli_format_verdict(const cli_watch *t, cli_verdict v, uint32_t now_ms, const cli_options &opt,
                        char *dest, size_t size)
{
    char command[48];
    describe_command(t->last, command, sizeof command);
    switch (v) {
    case CLI_DISCONNECTED:
        std::snprintf(dest, size, "the device disconnected while waiting on %s", command);
        break;
    case CLI_REFUSED:
        std::snprintf(dest, size, "the device refuses %s: it answers %s", command,
                      t->other_text[0] ? t->other_text : "with an empty packet");
        break;
    case CLI_ERASE_TIMEOUT:
        std::snprintf(dest, size,
                      "the erase did not finish within %g s: the device still answers %s to "
                      "the erase poll",
                      opt.erase_timeout_s, t->other_text);
        break;
    default:
        std::snprintf(dest, size,
                      "the device stopped answering: nothing acknowledged for %.1f s while "
                      "waiting on %s",
                      (now_ms - t->last_ack_ms) / 1000.0, command);
        break;
    }
}

namespace {

// "(gives up at 30 s)", or "(waits for ever)" when there is no limit.
void give_up(double limit_s, char *dest, size_t size)
{
    if (limit_s > 0)
        std::snprintf(dest, size, "(gives up at %g s)", limit_s);
    else
        std::snprintf(dest, size, "(waits for ever)");
}

// What the device does instead of acknowledging, once that has gone on for
// CLI_STUCK_MS; 0 when it is not stuck.
int format_stuck(const cli_watch *t, uint32_t now_ms, char *dest, size_t size)
{
    const uint32_t quiet = now_ms - t->last_ack_ms;
    if (t->exchanges == 0 || quiet < CLI_STUCK_MS)
        return 0;
    char command[48], limit[32];
    describe_command(t->last, command, sizeof command);
    if (t->still_erasing) {
        give_up(t->erase_timeout_s, limit, sizeof limit);
        return std::snprintf(dest, size, "still erasing for %u s %s",
                             unsigned((now_ms - t->erase_start_ms) / 1000), limit);
    }
    give_up(t->timeout_s, limit, sizeof limit);
    if (t->other_seen && now_ms - t->last_other_ms < CLI_STUCK_MS)
        return std::snprintf(dest, size, "answers %s to %s %s",
                             t->other_text[0] ? t->other_text : "an empty packet", command, limit);
    return std::snprintf(dest, size, "no answer for %u s, waiting on %s %s", unsigned(quiet / 1000),
                         command, limit);
}

} // namespace

int cli_format_live(const cli_watch *t, uint32_t now_ms, char *dest, size_t size)
{
    const int stuck = format_stuck(t, now_ms, dest, size);
    if (stuck > 0)
        return stuck;
    const lprog_progress &p = t->last;
    uint32_t total = p.total ? p.total : 1;
    uint32_t done = p.done > p.total ? p.total : p.done;
    unsigned pct = unsigned(uint64_t(done) * 100 / total);
    char rate[24] = "-- kB/s";
    char left[24] = "";
    uint32_t ms = now_ms - t->program_start_ms;
    uint32_t sent = done - (t->program_start_done < done ? t->program_start_done : done);
    if (t->program_started && ms > 0 && sent > 0) {
        double bps = double(sent) * 1000.0 / ms;
        std::snprintf(rate, sizeof rate, "%.1f kB/s", bps / 1000.0);
        auto secs = unsigned(double(p.total - done) / bps + 0.5);
        if (p.state == LPROG_PROGRAM)
            std::snprintf(left, sizeof left, "  %u:%02u left", secs / 60, secs % 60);
    }
    return std::snprintf(dest, size, "%-21s %3u%%  %u/%u bytes  %s%s", lprog_phase_name(p.state),
                         pct, unsigned(done), unsigned(p.total), rate, left);
}

void cli_format_stopped(const cli_watch *t, char *dest, size_t size)
{
    const char *leaves;
    switch (t->exchanges ? t->last.state : LPROG_IDLE) {
    case LPROG_IDLE:
        std::snprintf(dest, size, "interrupted before the first command: the device is untouched");
        return;
    case LPROG_ERASE:
    case LPROG_WAIT_ERASE:
        leaves = "the device's flash may be partly erased and it will not start; program it again";
        break;
    case LPROG_SET_CLOCK:
        leaves = "the image is written, but the clock is not set and the device was not reset; "
                 "program it again";
        break;
    case LPROG_RESET:
        leaves = "the image is written; the reset may not have reached the device: power it off "
                 "and on";
        break;
    default: leaves = "the device is partly programmed and will not start; program it again";
    }
    char command[48];
    describe_command(t->last, command, sizeof command);
    std::snprintf(dest, size, "interrupted while waiting on %s: %s", command, leaves);
}
