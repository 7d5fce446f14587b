#include "app/job/digest.h"

#include "framework/zassert.h"

#include <sodium.h>

#include <cctype>

bool digest_init() { return sodium_init() >= 0; }

std::string digest_sha256_hex(const void *data, size_t n)
{
    const bool ready = digest_init();
    ZMK_ASSERT(ready);
    unsigned char hash[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(hash, static_cast<const unsigned char *>(data), n);
    char hex[2 * sizeof hash + 1];
    sodium_bin2hex(hex, sizeof hex, hash, sizeof hash);
    return hex;
}

bool digest_is_sha256_hex(const std::string &text)
{
    if (text.size() != 2 * crypto_hash_sha256_BYTES)
        return false;
    for (const char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}
