// Line-level faults: once a given frame has been answered, the device chatters
// log text, trickles a frame that never ends, stops reading the line, or
// refuses every command, for a while or until the session ends. The core keeps
// the state and ignores or refuses frames; the pty front end puts the noise on
// the line and leaves the line unread while the device is deaf.
#pragma once

#include <array>
#include <cstdint>
#include <string>

enum devsim_line_kind : int32_t {
    DEVSIM_LINE_NONE,
    DEVSIM_LINE_CHATTER, // log text at the line rate; frames are not taken
    DEVSIM_LINE_TRICKLE, // one byte every 100 ms; frames are not taken
    DEVSIM_LINE_DEAF,    // the line is not read at all
    DEVSIM_LINE_REFUSE,  // every command answered "NAK" and not carried out
    DEVSIM_LINE_KINDS,
};

inline constexpr std::array<const char *, DEVSIM_LINE_KINDS> devsim_line_names = {
    "none", "chatter", "trickle", "deaf", "refuse"};

struct devsim_line_fault {
    int32_t kind = DEVSIM_LINE_NONE;
    uint32_t after = 0; // starts once this frame is answered; 0: at the session's start
    uint32_t ms = 0;    // how long it lasts; 0: until the session ends
};

// The fault as it runs.
struct line_fault_state {
    devsim_line_fault cfg;
    int64_t started_us = -1;
    uint64_t bytes = 0;        // noise put on the line
    uint32_t ignored = 0;      // frames not taken while chattering or trickling
    uint32_t refused = 0;      // commands answered "NAK" while refusing
    int64_t queued_until = -1; // host bytes (from the first) that queued up while deaf
    uint32_t queued = 0;       // frames among them
};

// Starts the fault once frame `frame` is answered, at `done_us`.
void line_fault_frame_done(line_fault_state *s, uint32_t frame, int64_t done_us);
// True while the fault is on at `now_us`; `*left_us` (optional) is how much
// longer it lasts. A fault that waits for no frame starts at the first call.
bool line_fault_on(line_fault_state *s, int64_t now_us, int64_t *left_us = nullptr);
// Counts a frame that ends at host byte `rx` if it queued up while the device
// was deaf; true for the second and later: their replies go out back to back
// behind the first one's, where the host drains them.
bool line_fault_queued_behind(line_fault_state *s, uint64_t rx);

// The noise of a chattering or trickling device: log lines of printable ASCII
// ending in "\r\n", so never a SLIP END or ESC.
struct line_noise {
    std::string pending; // made, not yet on the line
    uint32_t lines = 0;
    int64_t next_ns = -1; // when the next byte is due
};

// Writes to `fd` (non-blocking) the noise due by `now_us` and adds what went
// out to `*sent`; returns how long until more is due, at most 20 ms.
int64_t line_noise_pump(line_noise *z, int32_t kind, uint32_t baud, int fd, int64_t now_us,
                        uint64_t *sent);
