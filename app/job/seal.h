// A job's seal: minisign's public key and signature files, read and checked
// (zmk checks seals, it never makes them). Ed25519 over the file itself
// ("Ed", the legacy kind) or over its BLAKE2b-512 ("ED", minisign's
// default); the trusted comment is signed with the signature.
#pragma once

#include <cstdint>
#include <string>

struct seal_key {
    uint8_t id[8];
    uint8_t pk[32];
};

struct seal_signature {
    bool prehashed = true; // "ED": the BLAKE2b-512 of the file is signed
    uint8_t id[8];
    uint8_t sig[64];
    std::string trusted_comment; // the text after "trusted comment: "
    uint8_t global[64];          // over sig and the trusted comment
};

// A public key file's text; false with what is wrong in `why`.
bool seal_key_parse(const std::string &text, seal_key *out, std::string *why);
// A signature file's text; false with what is wrong in `why`.
bool seal_signature_parse(const std::string &text, seal_signature *out, std::string *why);
// Whether `sig` is `key`'s over `message`, trusted comment included; false
// with what is wrong in `why`.
bool seal_verify(const seal_key &key, const seal_signature &sig, const std::string &message,
                 std::string *why);
// A key id as minisign shows it: upper-case hex, no leading zeros.
std::string seal_key_id(const uint8_t id[8]);
