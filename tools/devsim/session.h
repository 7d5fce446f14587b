// One simulated device, made of its parts; private to the core (devsim.cpp
// runs it, report.cpp reports on it).
#pragma once

#include "tools/devsim/devsim.h"
#include "tools/devsim/device.h"
#include "tools/devsim/faults.h"
#include "tools/devsim/line.h"
#include "tools/devsim/line_faults.h"
#include "tools/devsim/packet.h"
#include "tools/devsim/violations.h"

#include <array>
#include <cstdint>

struct devsim_t {
    devsim_config cfg;
    violation_log log;
    frame_reader rx;
    packet_side packets;
    device dev;
    fault_state faults;
    line_fault_state line;

    std::array<uint32_t, ANS_KINDS> answers{};
    uint32_t acks_lost = 0; // "ACK"s the host cannot have received
    uint64_t tx_bytes = 0;
    int64_t reply_floor_us = 0; // least time the exchanges cost a host, erases aside
};
