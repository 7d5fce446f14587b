// SHA-256 of what the line trusts by its hash: the job file and the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// libsodium made ready; false when it cannot be (no source of randomness).
bool digest_init();
// The SHA-256 of n bytes, 64 lower-case hex digits.
std::string digest_sha256_hex(const void *data, size_t n);
// Whether `text` is 64 hex digits (either case).
bool digest_is_sha256_hex(const std::string &text);
