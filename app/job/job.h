// A job file: every production setting of a station in one TOML file, which
// a supervisor may seal with minisign. Read once: the same bytes are parsed,
// hashed and checked against the seal.
#pragma once

#include "app/ledger/serial.h"
#include "framework/status.h"

#include <cstdint>
#include <string>
#include <vector>

struct job {
    std::string path;   // the job file as given
    std::string text;   // its bytes
    std::string sha256; // of its bytes
    std::string name, version;
    std::string image;        // the image file (relative: to the job's folder)
    std::string image_sha256; // as the job says, lower case
    bool serial_given = false;
    serial_settings serial; // [serial], as the --serial-* options take it
    std::string db;         // [station] db (a relative file: to the job's folder)
    std::vector<std::string> match;
    double timeout_s = 30, erase_timeout_s = 300;
    int64_t hold_after_failures = 0; // 0: never hold a bay
    int64_t rated_insertions = 0;    // 0: not counted against a limit
    std::vector<std::string> slots;  // NAME=PATTERN
    // Its seal, once checked (job_trust_check).
    bool sealed = false;
    std::string key_id;          // of the key that sealed it
    std::string trusted_comment; // the signature's
};

// Reads and parses the job file at `path`; LINE_REFUSED with
// "PATH:LINE: what is wrong" (or "PATH: ..." when it cannot be read).
line_status job_read(const std::string &path, job *out, std::string *why);
// The same for the job's bytes, already read.
line_status job_parse(const std::string &path, const std::string &text, job *out, std::string *why);
