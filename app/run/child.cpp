#include "app/run/child.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *answer_words[] = {"ack", "other", "none", "gone"};

// Keeps a text on its one line and in one word-free field.
void flatten(const char *in, char *out, size_t size)
{
    size_t n = 0;
    for (; in && *in && n + 1 < size; ++in)
        out[n++] = (*in == '\n' || *in == '\r') ? ' ' : *in;
    out[n] = 0;
}

child_line_kind parse_event(const char *rest, bool sent, child_line *out)
{
    zmk_event &e = out->event;
    e = zmk_event{};
    e.text = out->text;
    out->text[0] = 0;
    if (sent) {
        e.kind = ZMK_SENT;
        return std::sscanf(rest, "%u %u %u %u", &e.command, &e.address, &e.done, &e.total) == 4
                   ? CHILD_EVENT
                   : CHILD_NONE;
    }
    e.kind = ZMK_ANSWER;
    char word[8] = "";
    int used = 0;
    if (std::sscanf(rest, "%u %7s%n", &e.command, word, &used) != 2)
        return CHILD_NONE;
    for (int i = 0; i < 4; ++i)
        if (std::strcmp(word, answer_words[i]) == 0) {
            e.answer = zmk_answer(i);
            flatten(rest[used] == ' ' ? rest + used + 1 : rest + used, out->text, sizeof out->text);
            return CHILD_EVENT;
        }
    return CHILD_NONE;
}

child_line_kind parse_waiting(const char *rest, child_line *out)
{
    zmk_event &e = out->event;
    e = zmk_event{};
    e.kind = ZMK_WAITING;
    e.text = out->text;
    unsigned verdict = 0;
    int used = 0;
    if (std::sscanf(rest, "%u %u%n", &e.command, &verdict, &used) != 2 || verdict < ZMK_NO_ANSWER ||
        verdict > ZMK_ERASING)
        return CHILD_NONE;
    e.verdict = zmk_verdict(verdict);
    flatten(rest[used] == ' ' ? rest + used + 1 : rest + used, out->text, sizeof out->text);
    return CHILD_EVENT;
}

// "-" for none, else milliseconds no reply could take longer than.
bool parse_reply(const char *word, double *out)
{
    if (std::strcmp(word, "-") == 0) {
        *out = -1;
        return true;
    }
    char *end = nullptr;
    const double v = std::strtod(word, &end);
    if (end == word || *end || !(v >= 0 && v <= 1e6))
        return false;
    *out = v;
    return true;
}

child_line_kind parse_latency(const char *rest, child_line *out)
{
    int ms = 0, used = 0;
    if (std::sscanf(rest, "%d %n", &ms, &used) != 1 || ms < 0 || used == 0 || !rest[used])
        return CHILD_NONE;
    out->latency_ms = ms;
    flatten(rest + used, out->text, sizeof out->text);
    return CHILD_LATENCY;
}

} // namespace

int child_format_event(const zmk_event *e, char *dest, size_t size)
{
    if (e->kind == ZMK_SENT)
        return std::snprintf(dest, size, "@zmk sent %u %u %u %u\n", unsigned(e->command),
                             unsigned(e->address), unsigned(e->done), unsigned(e->total));
    char text[160];
    flatten(e->text, text, sizeof text);
    if (e->kind == ZMK_WAITING)
        return std::snprintf(dest, size, "@zmk waiting %u %u %s\n", unsigned(e->command),
                             unsigned(e->verdict), text);
    return std::snprintf(dest, size, "@zmk answer %u %s %s\n", unsigned(e->command),
                         answer_words[e->answer], text);
}

int child_format_end(const run_end *end, char *dest, size_t size)
{
    char message[256], reply[24] = "-";
    flatten(end->message, message, sizeof message);
    if (end->reply_ms >= 0)
        std::snprintf(reply, sizeof reply, "%.1f", end->reply_ms);
    return std::snprintf(dest, size, "@zmk end %d %s %u %u %s %s\n", end->exit,
                         run_result_word(end->result), unsigned(end->exchanges),
                         unsigned(end->repeats), reply, message);
}

int child_format_latency(int32_t ms, const char *path, char *dest, size_t size)
{
    char text[160];
    flatten(path, text, sizeof text);
    return std::snprintf(dest, size, "@zmk latency %d %s\n", int(ms), text);
}

child_line_kind child_parse(const char *line, child_line *out)
{
    out->kind = CHILD_NONE;
    if (std::strncmp(line, "@zmk latency ", 13) == 0)
        return out->kind = parse_latency(line + 13, out);
    if (std::strncmp(line, "@zmk sent ", 10) == 0)
        return out->kind = parse_event(line + 10, true, out);
    if (std::strncmp(line, "@zmk answer ", 12) == 0)
        return out->kind = parse_event(line + 12, false, out);
    if (std::strncmp(line, "@zmk waiting ", 13) == 0)
        return out->kind = parse_waiting(line + 13, out);
    if (std::strncmp(line, "@zmk end ", 9) != 0)
        return CHILD_NONE;
    run_end &end = out->end;
    end = run_end{};
    char word[24] = "", reply[24] = "";
    int used = 0;
    if (std::sscanf(line + 9, "%d %23s %u %u %23s%n", &end.exit, word, &end.exchanges, &end.repeats,
                    reply, &used) != 5 ||
        !run_result_parse(word, &end.result) || !parse_reply(reply, &end.reply_ms))
        return CHILD_NONE;
    const char *message = line + 9 + used;
    flatten(*message == ' ' ? message + 1 : message, end.message, sizeof end.message);
    return out->kind = CHILD_END;
}
