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

// Counts Ctrl-C (and a request to terminate) from here on, instead of ending
// the program.
void proc_catch_interrupts();
// How many have come so far.
int proc_interrupts();
