// The device's end of the line: a new pseudo-terminal (or a given tty), the
// bytes read from it with their arrival times, replies written at the time
// the pacing says, and the line faults that act on the tty itself.
#pragma once

#include "tools/devsim/adapter.h"
#include "tools/devsim/devsim.h"

#include <csignal>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Set by SIGINT, SIGTERM or SIGHUP once catch_signals() has run.
extern volatile std::sig_atomic_t stop_signal;
void catch_signals();

int64_t now_us(); // monotonic

struct tty {
    int fd = -1;      // what we read and write
    int hold_fd = -1; // our own handle on the host's side, so its close is no hang-up
    std::string path; // what the host opens
};

// Opens `port`, or a new pseudo-terminal when it is empty; raw, at `baud`
// where the tty takes it.
bool open_tty(tty *l, const std::string &port, uint32_t baud, std::string *error);
void close_tty(tty *l);

// Bytes from the host with the time they came in. While the device waits
// (pacing, a delay, a stall) the line is still read, so a request that
// arrives meanwhile keeps its true arrival time for the pacing of its reply.
struct inbox {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<size_t, int64_t>> marks; // start of each read, its time
    size_t pos = 0;
    bool eof = false;
    uint64_t total = 0; // bytes read in the session
    int64_t last_rx = 0;
    int64_t first_rx = 0;

    inbox();
    static constexpr size_t cap = 1 << 16;

    bool all_read() const { return pos == bytes.size(); }
    bool no_room() const { return bytes.size() + 4096 > cap || marks.size() == marks.capacity(); }
    // Waits up to `us` for bytes and takes what has come.
    void fill(int fd, int64_t us);
    // The next run of bytes that share one arrival time.
    int32_t next(const uint8_t **p, int64_t *when) const;
};

// Sends a reply at its time, with its stall, through the adapter; false when
// a signal came first.
bool send_reply(const devsim_reply &reply, int fd, inbox *in, adapter *a);

// Sends on what the adapter has due now.
void pty_release_due(adapter *a, int fd);
// `us`, or less when the adapter has bytes due sooner.
int64_t pty_wait_cap(const adapter *a, int64_t us);
// Sends on whatever the adapter holds (the session ends).
void pty_flush_held(adapter *a, int fd);

// True while a deaf device leaves the line unread.
bool device_deaf(devsim_t *t, int fd, inbox *in);
// Between frames: waits for bytes from the host, putting a chattering or
// trickling device's noise on the line meanwhile, or sleeps while deaf; the
// adapter's held bytes go on when due.
void idle(devsim_t *t, line_noise *noise, uint32_t baud, int fd, inbox *in, adapter *a);
