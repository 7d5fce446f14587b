// The POSIX port record, shared by the backend's files.
#pragma once

#include "platform/serial.h"

#include <cstdint>

struct posix_port : port_s {
    int fd = -1;
    uint32_t baud = 0;     // of the line settings last issued, 0 when unknown
    int64_t tx_end_ms = 0; // when the bytes last written have left the wire
    port_timeouts timeouts{};
};

port_status posix_get_line(port_handle t, port_line *line);
port_status posix_set_line(port_handle t, const port_line *line);
