// The device itself: commands parsed out of a packet's payload, carried out
// in the order a run must take, on a model of the flash.
#pragma once

#include "tools/devsim/violations.h"

#include <array>
#include <cstdint>
#include <vector>

enum cmd_kind : int32_t {
    CMD_ERASE,
    CMD_POLL, // PROGRAM 0, 0: is the erase over?
    CMD_PROGRAM,
    CMD_RTC_SET,
    CMD_RESET,
    CMD_BAD, // malformed (reported) or unknown
    CMD_KINDS
};
inline constexpr std::array<const char *, CMD_KINDS> cmd_names = {"ERASE",   "POLL",  "PROGRAM",
                                                                  "RTC_SET", "RESET", "unknown"};

// What the device answers; the order is the order of the report's "answers".
enum answer : int32_t { ANS_ACK, ANS_NAK, ANS_BUSY, ANS_MODE, ANS_TAG, ANS_KINDS };
inline constexpr std::array<const char *, ANS_KINDS> answer_text = {"ACK", "NAK", "BUSY", "MODE",
                                                                    "TAG"};

// Where the run stands, as the device sees it.
enum seq_state : int32_t {
    SEQ_START,     // nothing erased yet
    SEQ_ERASING,   // erase started, poll not yet acknowledged
    SEQ_READY,     // erase over, no chunk yet
    SEQ_PROGRAM,   // chunks arriving in order
    SEQ_LAST_DONE, // last chunk written: the first one comes again
    SEQ_REWRITTEN, // first chunk rewritten: the clock comes next
    SEQ_CLOCK,     // clock set
    SEQ_RESET,     // reset acknowledged
};

struct command {
    int32_t kind = CMD_BAD;
    uint32_t start = 0, end = 0;
    const uint8_t *data = nullptr; // PROGRAM data or RTC_SET records, in the frame
    int32_t length = 0;
};

struct device {
    uint32_t flash_size = 0;
    uint32_t erase_ms = 0;
    violation_log *log = nullptr;

    int32_t seq = SEQ_START;
    uint32_t erase_start = 0, erase_end = 0, first_end = 0, next_start = 0;
    int64_t erase_done_us = 0;
    bool acked_valid = false;
    command acked{}; // last command carried out (its "ACK" may have been lost)
    std::vector<uint8_t> flash, written;
    bool time_set = false;
    std::array<uint8_t, 8> time_record{};

    uint32_t repeats = 0, restarts = 0, erases = 0;
    std::array<uint32_t, CMD_KINDS> commands{};
};

void device_init(device *d, uint32_t flash_size, uint32_t erase_ms, violation_log *log);
// Splits a packet's payload into a command and counts it; CMD_BAD when it is
// malformed (reported).
command device_parse(device *d, const uint8_t *p, int32_t n);
// Carries a command out, or not; the answer is ACK, NAK (a violation, reported) or BUSY.
int32_t device_execute(device *d, const command &c, int64_t now_us);

uint32_t device_written_crc(const device *d);
bool device_flash_matches(const device *d, const std::vector<uint8_t> &expect);
