// minisign's formats: a comment line, then base64 of the algorithm, the key
// id and the key or signature; a signature adds its trusted comment and the
// global signature over both.
#include "app/job/seal.h"

#include "app/job/digest.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr size_t key_bytes = 2 + 8 + crypto_sign_PUBLICKEYBYTES;
constexpr size_t sig_bytes = 2 + 8 + crypto_sign_BYTES;

// The text's lines without their line ends.
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(line);
        at = end + 1;
    }
    return out;
}

bool starts(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

// Exactly `n` bytes from the base64 `text`, or false with why.
bool unbase64(const std::string &text, uint8_t *out, size_t n, const char *what, std::string *why)
{
    std::vector<uint8_t> bin(n + 3);
    size_t len = 0;
    if (sodium_base642bin(bin.data(), bin.size(), text.data(), text.size(), nullptr, &len, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0) {
        *why = std::string(what) + " is not base64, or is cut short";
        return false;
    }
    if (len != n) {
        *why = std::string(what) + " holds " + std::to_string(len) + " bytes, not " +
               std::to_string(n);
        return false;
    }
    std::memcpy(out, bin.data(), n);
    return true;
}

bool comment_line(const std::vector<std::string> &lines, std::string *why)
{
    if (!lines.empty() && starts(lines[0], "untrusted comment:"))
        return true;
    *why = "its first line is not \"untrusted comment: ...\"";
    return false;
}

} // namespace

bool seal_key_parse(const std::string &text, seal_key *out, std::string *why)
{
    const std::vector<std::string> lines = lines_of(text);
    if (!comment_line(lines, why))
        return false;
    if (lines.size() < 2) {
        *why = "no key line after the comment";
        return false;
    }
    uint8_t bin[key_bytes];
    if (!unbase64(lines[1], bin, sizeof bin, "the key line", why))
        return false;
    if (bin[0] != 'E' || bin[1] != 'd') {
        *why = "it is no Ed25519 public key";
        return false;
    }
    std::memcpy(out->id, bin + 2, sizeof out->id);
    std::memcpy(out->pk, bin + 10, sizeof out->pk);
    return true;
}

bool seal_signature_parse(const std::string &text, seal_signature *out, std::string *why)
{
    const std::vector<std::string> lines = lines_of(text);
    if (!comment_line(lines, why))
        return false;
    if (lines.size() < 4) {
        *why = "it has " + std::to_string(lines.size()) + " lines, not 4";
        return false;
    }
    uint8_t bin[sig_bytes];
    if (!unbase64(lines[1], bin, sizeof bin, "the signature line", why))
        return false;
    if (bin[0] != 'E' || (bin[1] != 'D' && bin[1] != 'd')) {
        *why = "it is no Ed25519 signature";
        return false;
    }
    out->prehashed = bin[1] == 'D';
    std::memcpy(out->id, bin + 2, sizeof out->id);
    std::memcpy(out->sig, bin + 10, sizeof out->sig);
    const char *const trusted = "trusted comment: ";
    if (!starts(lines[2], trusted)) {
        *why = "its third line is not \"trusted comment: ...\"";
        return false;
    }
    out->trusted_comment = lines[2].substr(std::strlen(trusted));
    return unbase64(lines[3], out->global, sizeof out->global, "the global signature", why);
}

bool seal_verify(const seal_key &key, const seal_signature &sig, const std::string &message,
                 std::string *why)
{
    if (!digest_init()) {
        *why = "libsodium cannot start";
        return false;
    }
    if (std::memcmp(key.id, sig.id, sizeof key.id) != 0) {
        *why = "it is signed by key " + seal_key_id(sig.id) + ", not by key " + seal_key_id(key.id);
        return false;
    }
    const auto *m = reinterpret_cast<const unsigned char *>(message.data());
    unsigned char hash[crypto_generichash_BYTES_MAX];
    size_t n = message.size();
    if (sig.prehashed) {
        crypto_generichash(hash, sizeof hash, m, n, nullptr, 0);
        m = hash;
        n = sizeof hash;
    }
    if (crypto_sign_verify_detached(sig.sig, m, n, key.pk) != 0) {
        *why = "the signature does not match the file: it was changed after it was signed";
        return false;
    }
    std::vector<unsigned char> global(sig.sig, sig.sig + sizeof sig.sig);
    global.insert(global.end(), sig.trusted_comment.begin(), sig.trusted_comment.end());
    if (crypto_sign_verify_detached(sig.global, global.data(), global.size(), key.pk) != 0) {
        *why = "the trusted comment was changed after it was signed";
        return false;
    }
    return true;
}

std::string seal_key_id(const uint8_t id[8])
{
    uint64_t v = 0;
    for (int k = 7; k >= 0; --k)
        v = v << 8 | id[k];
    char text[20];
    std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(v));
    return text;
}
