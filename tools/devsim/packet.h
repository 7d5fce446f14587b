// The packet around a command. Plain: the command and its CRC-32,
// little-endian. Tagged: the sender's own word, the tag it sends to, the
// command and the CRC-32, all big-endian. The device speaks one kind at a
// time and answers a frame of the other kind "MODE" in its own.
#pragma once

#include "tools/devsim/violations.h"

#include <cstdint>

struct packet_side {
    int32_t mode = 0; // DEVSIM_PLAIN or DEVSIM_TAGGED
    uint32_t tag = 0; // the device's own
    uint32_t peer_word0 = 0;
    bool kind_told = false; // the host has had an intact reply of our kind
    bool tag_told = false;  // ... and a tagged one it accepts, so it knows our tag
    uint32_t switches = 0;
};

// The device turns to the other kind, and the host has to learn it again.
void packet_switch(packet_side *s);

// Checks a frame. -1 when it carries a command for us, in `*cmd` and
// `*cmd_len`; otherwise the answer it gets (NAK, MODE or TAG), with any
// violation logged.
int32_t packet_open(packet_side *s, const uint8_t *p, int32_t n, violation_log *log,
                    const uint8_t **cmd, int32_t *cmd_len);

constexpr int PACKET_MAX_REPLY = 32;
// Writes the reply packet for `ans` in our kind; returns its length and its CRC in `*crc`.
int32_t packet_reply(const packet_side *s, int32_t ans, uint8_t *out, uint32_t *crc);

// The reply with this CRC reached the host intact.
void packet_heard(packet_side *s, int32_t ans, uint32_t crc);
