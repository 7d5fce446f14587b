// Child processes for running many devices at once: one child per device,
// its standard output and error in a pipe the parent reads.
#pragma once

#include <cstddef>

struct proc;

// Starts argv[0] (a path) with argv (nullptr-terminated). The child reads
// nothing, writes both its output streams into the pipe, and is left alone by
// Ctrl-C at the terminal: only the parent decides when it stops. nullptr when
// it cannot be started.
proc *proc_spawn(const char *const *argv);
// Reads up to n bytes of the child's output; 0 once it is closed, -1 on error.
// Blocks until something comes.
int proc_read(proc *p, char *buf, int n);
// Ends the child at once.
void proc_kill(proc *p);
// Waits for the child to end; its exit status, or 128 + the signal that ended it.
int proc_wait(proc *p);
void proc_free(proc *p);
// The path of the running program, to start it again as a child.
bool proc_self_path(char *dest, size_t size);

// This process's id, and whether the process with id `pid` still runs (on
// this machine); what a database needs to tell a live reservation from one
// whose process is gone.
long long proc_self_id();
bool proc_alive(long long pid);

// Asks the child to stop at its next step boundary, so that it puts its port
// back and says where it stopped: SIGTERM, or on Windows an event the child
// was handed at its start and watches from proc_catch_interrupts on. Either
// way the child's proc_interrupts() goes up by two and proc_stop_status()
// becomes 143. A child that does not end is for proc_kill.
void proc_stop(proc *p);

// Catches the requests to stop from here on instead of ending the program:
// Ctrl-C, SIGTERM and SIGHUP (Windows: Ctrl-C, Ctrl-Break, the console
// closing, the parent's proc_stop). Without `ctrl_c`, Ctrl-C is left as it
// is: the child of a batch leaves that one to its parent, which started it
// with Ctrl-C ignored.
void proc_catch_interrupts(bool ctrl_c = true);
// How many Ctrl-C have come so far; SIGTERM or SIGHUP counts as two at once,
// since whoever sends it wants the program to end now.
int proc_interrupts();
// The status a program usually ends with after the last request: 130
// (Ctrl-C), 143 (SIGTERM, Ctrl-Break, proc_stop), 129 (SIGHUP, the console
// closed); 0 before any.
int proc_stop_status();
