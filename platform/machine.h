// Which machine this process runs on, as far as process ids go: two
// processes with the same id on one "machine" are the same process.
#pragma once

#include <cstddef>

// This machine's identity as text: the installation's id, the boot, and on
// Linux the PID namespace, so that two containers on one kernel, or the same
// machine after a reboot, differ. A part that cannot be read is left out;
// "" when none can.
void platform_machine_id(char *dest, size_t size);
