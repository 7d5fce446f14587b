// The device side of the programming protocol, held in memory: a strict
// frame reader (line.h), the packet check, plain or tagged (packet.h), the
// command sequence and a flash model (device.h), the fault plans (faults.h,
// line_faults.h) and the session report (report.cpp). The pty front end
// feeds it bytes with their arrival time and sends back what it asks for,
// when it asks.
#pragma once

#include "tools/devsim/line_faults.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

enum : int32_t {
    DEVSIM_PLAIN = 0,
    DEVSIM_TAGGED = 1,
};

// Fault kinds; the order is the order of the report's "faults" object.
enum devsim_fault : int32_t {
    DEVSIM_DROP,    // no reply (the command is still carried out)
    DEVSIM_CORRUPT, // one bit of the reply flipped
    DEVSIM_NAK,     // a non-"ACK" answer; the command is not carried out
    DEVSIM_GARBAGE, // random bytes right behind the reply
    DEVSIM_DELAY,   // the reply held back by delay_ms
    DEVSIM_STALL,   // a pause of stall_ms in the middle of the reply
    DEVSIM_FAULT_KINDS,
};

inline constexpr std::array<const char *, DEVSIM_FAULT_KINDS> devsim_fault_names = {
    "drop", "corrupt", "nak", "garbage", "delay", "stall"};

struct devsim_fault_plan {
    double rate = 0;          // chance per frame, 0..1
    std::vector<uint32_t> at; // frame numbers (1-based) that always get it
};

struct devsim_config {
    int32_t mode = DEVSIM_PLAIN;
    uint32_t tag = 0;
    uint32_t switch_at = 0; // frame number at which the kind flips; 0 = never
    uint32_t erase_ms = 300;
    uint32_t baud = 115200; // 0 = unpaced
    uint32_t flash_size = 2u << 20;
    uint64_t seed = 1;
    std::array<devsim_fault_plan, DEVSIM_FAULT_KINDS> faults{};
    uint32_t delay_ms = 60;    // from the request's arrival; below the host's 120 ms wait
    uint32_t stall_ms = 300;   // above it: the reply is lost
    double bit_error_rate = 0; // chance per reply byte of one flipped bit
    uint32_t silent_after = 0; // frames after this one get no reply; 0 = never
    uint32_t hangup_at = 0;    // frame at which the line is hung up; 0 = never
    devsim_line_fault line_fault{};
};

// Largest frame content the device accepts; the host's limit is the same.
constexpr int DEVSIM_MAX_FRAME = 10000;
constexpr int DEVSIM_MAX_REPLY = 160;     // encoded reply plus garbage
constexpr int DEVSIM_MAX_VIOLATIONS = 64; // texts kept; the count goes on

// What the front end must do after a frame.
struct devsim_reply {
    std::array<uint8_t, DEVSIM_MAX_REPLY> bytes{};
    int32_t length = 0;    // 0: send nothing
    int32_t stall_at = -1; // pause after this many bytes, -1: no pause
    uint32_t stall_ms = 0;
    int64_t send_at_us = 0; // do not start sending before this time
    bool hangup = false;    // hang the line up instead of answering
};

struct devsim_t;
struct adapter;

devsim_t *devsim_new(const devsim_config *config);
void devsim_free(devsim_t *t);

// Feeds bytes that arrived at `now_us`. Stops after the first frame that
// completes and returns how many bytes it took; `*reply` then says what to
// send (possibly nothing) and `*framed` is set. Call again with the rest.
int32_t devsim_feed(devsim_t *t, const uint8_t *p, int32_t n, int64_t now_us, devsim_reply *reply,
                    bool *framed);

// The line fault's state: the front end asks it whether to chatter or stay
// deaf, and counts the noise it sent there.
line_fault_state *devsim_line(devsim_t *t);

// True once RESET has been acknowledged.
bool devsim_reset_seen(const devsim_t *t);

const std::vector<uint8_t> &devsim_flash(const devsim_t *t);
uint32_t devsim_violation_count(const devsim_t *t);
const std::vector<std::string> &devsim_violations(const devsim_t *t);
uint32_t devsim_fault_count(const devsim_t *t, devsim_fault kind);
uint32_t devsim_repeats(const devsim_t *t);

// A range of flash addresses; the program checks it against the flash.
struct devsim_range {
    uint32_t address = 0, length = 0;
};

// The session report as one JSON object. `expect` may be null (no image to
// compare with); the report's "ok" follows the exit rule of devsim_ok.
struct devsim_end {
    int64_t elapsed_us = 0;
    int64_t start_us = 0; // the session's start, on the clock the bytes were fed with
    int64_t line_us = -1; // host's first byte to the last reply to RESET; -1: unknown
    const std::vector<uint8_t> *expect = nullptr;
    const char *how = "reset"; // what ended the session: reset, timeout, signal, hangup, eof
    std::vector<devsim_range> expect_skip; // flash bytes left out of the comparison with expect
    std::vector<devsim_range> show;        // flash bytes the report gives in hex
    const adapter *usb_adapter = nullptr;  // the USB serial adapter in between; nullptr: none
};
std::string devsim_report(const devsim_t *t, const devsim_end *end);
// 1 when the erased range holds exactly `expect`, 0 when not.
int devsim_flash_matches(const devsim_t *t, const std::vector<uint8_t> &expect);
bool devsim_ok(const devsim_t *t, const devsim_end *end);
