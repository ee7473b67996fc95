#pragma once

// What proves an archive: its SHA-256 digest, and its Ed25519 signature by the publisher.

#include <filesystem>
#include <optional>
#include <string>

namespace zarvo {

// The lower-case hexadecimal SHA-256 digest of the bytes, or of a file's contents (none when
// it cannot be read).
std::string sha256Hex(const std::string& data);
std::optional<std::string> sha256HexOfFile(const std::filesystem::path& file);

// Strict base64 (padding required, white space at either end ignored); none when malformed.
std::optional<std::string> decodeBase64(const std::string& text);
std::string encodeBase64(const std::string& bytes);

// Whether a text is a usable public key: base64 of the 32 raw bytes of an Ed25519 key.
bool isEd25519PublicKey(const std::string& publicKeyBase64);

enum class SignatureCheck {
    valid,
    badKey,      // the public key is not 32 bytes in base64
    malformed,   // the signature is not 64 bytes in base64
    mismatch,    // it is not the key's signature of these bytes
    unreadable,  // the file cannot be read
};
// Checks the Ed25519 signature (base64) of a file's exact bytes against the public key (base64
// of its 32 raw bytes). The file is mapped, not read into memory: an archive may be large.
SignatureCheck verifyFileSignature(const std::filesystem::path& file,
                                   const std::string& signatureBase64,
                                   const std::string& publicKeyBase64);

}  // namespace zarvo
