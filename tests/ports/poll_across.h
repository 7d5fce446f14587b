// Both platforms' watch tests: how soon a poll sees a change made while it
// waits.
#pragma once

#include "platform/port_watch.h"
#include "platform/tick.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

struct change_seen {
    int count;
    uint32_t late_ms; // from the change to the poll's return
};

// Makes `change` 100 ms into a poll that would otherwise wait 3 s.
inline change_seen poll_across(port_watch *w, const std::function<void()> &change, port_info *out)
{
    std::atomic<uint32_t> at{0};
    std::thread changer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        at = platform_tick_ms();
        change();
    });
    const int count = port_watch_poll(w, 3000, out, PORTS_MAX);
    const uint32_t back = platform_tick_ms();
    changer.join();
    return {count, back - at};
}
