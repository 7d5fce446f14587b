// How the child process that runs one device tells its parent what happens:
// one line per event on its standard output, each starting "@zmk ", so that
// anything else the child prints (an assertion report) is told apart.
//   @zmk sent <command> <address> <done> <total>
//   @zmk answer <command> <ack|other|none|gone> <text>
//   @zmk waiting <command> <verdict> <text>
//   @zmk latency <ms> <path>   the adapter's timer, left above 1 ms
//   @zmk end <exit> <result> <exchanges> <repeats> <reply ms|-> <message>
#pragma once

#include "app/frontend.h"
#include "app/run/end.h"

#include <cstddef>
#include <cstdint>

enum child_line_kind { CHILD_NONE, CHILD_EVENT, CHILD_LATENCY, CHILD_END };

struct child_line {
    child_line_kind kind;
    zmk_event event;    // CHILD_EVENT; its text points into `text`
    char text[160];     // CHILD_LATENCY: the timer's attribute
    int32_t latency_ms; // CHILD_LATENCY
    run_end end;        // CHILD_END (its seconds are the parent's to time)
};

// The line for an event or the end, with its line end; the length written.
int child_format_event(const zmk_event *e, char *dest, size_t size);
int child_format_end(const run_end *end, char *dest, size_t size);
int child_format_latency(int32_t ms, const char *path, char *dest, size_t size);
// Reads one line (without its line end). CHILD_NONE for anything that is not
// a well-formed protocol line, an end with a result no run has among them.
child_line_kind child_parse(const char *line, child_line *out);
