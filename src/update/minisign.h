#pragma once

#include "exception.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// Detached signatures in the format of the minisign tool (Ed25519), checked
// with libsodium. Texts are bounded by their callers (a signature file is a
// few hundred bytes).

// A signature or key file that cannot be read as one.
class EMinisignFormat : public Exception { using Exception::Exception; };

using MinisignKeyId = std::array<uint8_t, 8>;

struct MinisignPublicKey {
    MinisignKeyId keyId {};
    std::array<uint8_t, 32> key {};
};

struct MinisignSignature {
    bool prehashed = true;  // "ED": the BLAKE2b-512 hash of the file is signed
    MinisignKeyId keyId {};
    std::array<uint8_t, 64> signature {};
    std::string trustedComment;
    std::array<uint8_t, 64> globalSignature {};  // over signature and trusted comment
};

MinisignPublicKey ParseMinisignPublicKey(std::string_view text);
MinisignSignature ParseMinisignSignature(std::string_view text);
// True when both the file's signature and the trusted comment's verify.
bool VerifyMinisign(const MinisignSignature &signature, const MinisignPublicKey &key, std::string_view file);
// The key id as minisign prints it (hexadecimal, without leading zeros).
std::string KeyIdText(const MinisignKeyId &keyId);

// Signing, for the firmware tool and tests: a secret key file without a
// password (minisign -G -W makes the same), its public key file, and a
// prehashed signature file with the trusted comment.
struct MinisignKeyPair {
    std::string secretKeyFile;
    std::string publicKeyFile;
};
MinisignKeyPair GenerateMinisignKeyPair();
std::string SignMinisign(std::string_view secretKeyFile, std::string_view file, std::string_view trustedComment);
