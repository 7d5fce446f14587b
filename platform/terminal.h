// Whether a person watches standard output.
#pragma once

// 1 when standard output is a terminal (live progress instead of log lines).
int platform_stdout_is_terminal();
// Lets the terminal behind standard output take cursor movement (a Windows
// console must be asked); 0 where it cannot.
int platform_stdout_enable_ansi();
