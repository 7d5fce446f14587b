// Whether a person watches standard output.
#pragma once

// 1 when standard output is a terminal (live progress instead of log lines).
int platform_stdout_is_terminal();
