// The image a run flashes: a file, or the one built in; its name, size and
// CRC-32 for the record, and the device's own bytes put into its copy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct run_image {
    std::vector<uint8_t> bytes; // empty: the built-in image, unchanged
    std::string name;
    uint32_t size = 0, crc32 = 0; // the image as built or given
    std::string sha256;           // its SHA-256 in hex, for the record ("": not known)
};

// Reads `path` ("" for the built-in image) into `out`; false with the
// reason in `why` (a directory, empty, too large, unreadable).
bool run_image_load(const std::string &path, run_image *out, std::string *why);
// The image's own bytes (`size` of them), the built-in one's too.
const uint8_t *run_image_bytes(const run_image &t);
// Puts `bytes` at `at` into this run's copy of the image (taken from the
// built-in one first when that is flashed). The name, size and CRC-32 stay
// the image's own.
void run_image_put(run_image *t, uint64_t at, const std::vector<uint8_t> &bytes);
// The CRC-32 of what a device is sent: the image with `bytes` at `at` (none:
// the image as it is).
uint32_t run_image_written_crc32(const run_image &t, uint64_t at = 0,
                                 const std::vector<uint8_t> &bytes = {});
