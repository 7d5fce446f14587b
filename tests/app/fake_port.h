#pragma once

#include "platform/serial.h"

#include <string>

struct fake_port_state {
    int opens = 0;
    int calls = 0; // every read, write and settings call
    uint32_t last_error = 0;
    std::string error_text = "The system cannot find the file specified.\r\n";
};
extern fake_port_state fake_port;
