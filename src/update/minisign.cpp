#include "minisign.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::string_view kUntrusted = "untrusted comment: ";
constexpr std::string_view kTrusted = "trusted comment: ";
// Secret key layout: algorithm, KDF, checksum algorithm, KDF salt and
// limits, then key number, secret key and checksum.
constexpr size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;

void StartSodium()
{
    if (sodium_init() < 0)
        throw EMinisignFormat("libsodium could not be started");
}

// The lines of a small text file, without their line ends.
std::vector<std::string_view> Lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty() && lines.size() < 8) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::vector<uint8_t> FromBase64(std::string_view text, size_t expected, const char *what)
{
    std::vector<uint8_t> bytes(expected + 1);
    size_t length = 0;
    const char *end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0
        || end != text.data() + text.size() || length != expected)
        throw EMinisignFormat(std::string("not a minisign ") + what);
    bytes.resize(length);
    return bytes;
}

std::string ToBase64(const uint8_t *bytes, size_t length)
{
    std::string text(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, length, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::array<uint8_t, crypto_generichash_BYTES_MAX> Blake2b512(std::string_view file)
{
    std::array<uint8_t, crypto_generichash_BYTES_MAX> hash {};
    crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const uint8_t *>(file.data()), file.size(), nullptr,
                       0);
    return hash;
}

} // namespace

MinisignPublicKey ParseMinisignPublicKey(std::string_view text)
{
    StartSodium();
    const auto lines = Lines(text);
    if (lines.size() < 2 || lines[0].substr(0, kUntrusted.size()) != kUntrusted)
        throw EMinisignFormat("not a minisign public key");
    const auto bytes = FromBase64(lines[1], 2 + 8 + 32, "public key");
    if (bytes[0] != 'E' || bytes[1] != 'd')
        throw EMinisignFormat("not an Ed25519 minisign public key");
    MinisignPublicKey key;
    std::copy_n(bytes.begin() + 2, 8, key.keyId.begin());
    std::copy_n(bytes.begin() + 10, 32, key.key.begin());
    return key;
}

MinisignSignature ParseMinisignSignature(std::string_view text)
{
    StartSodium();
    const auto lines = Lines(text);
    if (lines.size() < 4 || lines[0].substr(0, kUntrusted.size()) != kUntrusted
        || lines[2].substr(0, kTrusted.size()) != kTrusted)
        throw EMinisignFormat("not a minisign signature");
    const auto bytes = FromBase64(lines[1], 2 + 8 + 64, "signature");
    MinisignSignature signature;
    if (bytes[0] == 'E' && (bytes[1] == 'D' || bytes[1] == 'd'))
        signature.prehashed = bytes[1] == 'D';
    else
        throw EMinisignFormat("not an Ed25519 minisign signature");
    std::copy_n(bytes.begin() + 2, 8, signature.keyId.begin());
    std::copy_n(bytes.begin() + 10, 64, signature.signature.begin());
    signature.trustedComment = std::string(lines[2].substr(kTrusted.size()));
    const auto global = FromBase64(lines[3], 64, "signature");
    std::copy(global.begin(), global.end(), signature.globalSignature.begin());
    return signature;
}

bool VerifyMinisign(const MinisignSignature &signature, const MinisignPublicKey &key, std::string_view file)
{
    StartSodium();
    if (signature.keyId != key.keyId)
        return false;
    int fileCheck;
    if (signature.prehashed) {
        const auto hash = Blake2b512(file);
        fileCheck = crypto_sign_verify_detached(signature.signature.data(), hash.data(), hash.size(), key.key.data());
    } else {
        fileCheck = crypto_sign_verify_detached(signature.signature.data(),
                                                reinterpret_cast<const uint8_t *>(file.data()), file.size(),
                                                key.key.data());
    }
    std::string global(signature.signature.begin(), signature.signature.end());
    global += signature.trustedComment;
    const int commentCheck = crypto_sign_verify_detached(signature.globalSignature.data(),
                                                         reinterpret_cast<const uint8_t *>(global.data()),
                                                         global.size(), key.key.data());
    return fileCheck == 0 && commentCheck == 0;
}

std::string KeyIdText(const MinisignKeyId &keyId)
{
    // minisign prints the number stored little-endian, without leading zeros.
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (auto it = keyId.rbegin(); it != keyId.rend(); ++it) {
        text += hex[*it >> 4];
        text += hex[*it & 15];
    }
    const size_t first = std::min(text.find_first_not_of('0'), text.size() - 1);
    return text.substr(first);
}

MinisignKeyPair GenerateMinisignKeyPair()
{
    StartSodium();
    std::array<uint8_t, crypto_sign_PUBLICKEYBYTES> publicKey {};
    std::array<uint8_t, crypto_sign_SECRETKEYBYTES> secretKey {};
    crypto_sign_keypair(publicKey.data(), secretKey.data());
    MinisignKeyId keyId {};
    randombytes_buf(keyId.data(), keyId.size());

    std::vector<uint8_t> secret(kSecretKeyBytes, 0);
    secret[0] = 'E';
    secret[1] = 'd';
    // KDF "\0\0": no password, as minisign -W writes.
    secret[4] = 'B';
    secret[5] = '2';
    uint8_t *keyNumber = secret.data() + 2 + 2 + 2 + 32 + 8 + 8;
    std::copy(keyId.begin(), keyId.end(), keyNumber);
    std::copy(secretKey.begin(), secretKey.end(), keyNumber + 8);
    // The checksum covers algorithm, key number and secret key.
    std::vector<uint8_t> checked = {'E', 'd'};
    checked.insert(checked.end(), keyNumber, keyNumber + 8 + 64);
    crypto_generichash(keyNumber + 8 + 64, 32, checked.data(), checked.size(), nullptr, 0);
    sodium_memzero(secretKey.data(), secretKey.size());
    sodium_memzero(checked.data(), checked.size());

    std::vector<uint8_t> pub = {'E', 'd'};
    pub.insert(pub.end(), keyId.begin(), keyId.end());
    pub.insert(pub.end(), publicKey.begin(), publicKey.end());
    MinisignKeyPair pair;
    pair.secretKeyFile = "untrusted comment: minisign secret key without password\n"
        + ToBase64(secret.data(), secret.size()) + "\n";
    sodium_memzero(secret.data(), secret.size());
    pair.publicKeyFile = "untrusted comment: minisign public key " + KeyIdText(keyId) + "\n"
        + ToBase64(pub.data(), pub.size()) + "\n";
    return pair;
}

std::string SignMinisign(std::string_view secretKeyFile, std::string_view file, std::string_view trustedComment)
{
    StartSodium();
    const auto lines = Lines(secretKeyFile);
    if (lines.size() < 2 || lines[0].substr(0, kUntrusted.size()) != kUntrusted)
        throw EMinisignFormat("not a minisign secret key");
    auto secret = FromBase64(lines[1], kSecretKeyBytes, "secret key");
    if (secret[0] != 'E' || secret[1] != 'd' || secret[4] != 'B' || secret[5] != '2')
        throw EMinisignFormat("not an Ed25519 minisign secret key");
    if (secret[2] != 0 || secret[3] != 0)
        throw EMinisignFormat("the secret key has a password: sign with minisign -S");
    if (trustedComment.find_first_of("\r\n") != std::string_view::npos)
        throw EMinisignFormat("a trusted comment is one line");
    const uint8_t *keyNumber = secret.data() + 2 + 2 + 2 + 32 + 8 + 8;
    const uint8_t *secretKey = keyNumber + 8;

    std::vector<uint8_t> signatureBlock = {'E', 'D'};
    signatureBlock.insert(signatureBlock.end(), keyNumber, keyNumber + 8);
    std::array<uint8_t, crypto_sign_BYTES> signature {};
    const auto hash = Blake2b512(file);
    crypto_sign_detached(signature.data(), nullptr, hash.data(), hash.size(), secretKey);
    signatureBlock.insert(signatureBlock.end(), signature.begin(), signature.end());

    std::string global(signature.begin(), signature.end());
    global += trustedComment;
    std::array<uint8_t, crypto_sign_BYTES> globalSignature {};
    crypto_sign_detached(globalSignature.data(), nullptr, reinterpret_cast<const uint8_t *>(global.data()),
                         global.size(), secretKey);
    sodium_memzero(secret.data(), secret.size());
    return "untrusted comment: signature from mkfirmware\n" + ToBase64(signatureBlock.data(), signatureBlock.size())
        + "\ntrusted comment: " + std::string(trustedComment) + "\n"
        + ToBase64(globalSignature.data(), globalSignature.size()) + "\n";
}
