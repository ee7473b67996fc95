#include "tests/support/SigningKey.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace zarvo::test {
namespace {

std::string base64(const unsigned char* bytes, size_t size) {
    std::string text((size + 2) / 3 * 4 + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes,
                                       static_cast<int>(size));
    text.resize(static_cast<size_t>(length));
    return text;
}

}  // namespace

SigningKey::SigningKey() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!key) {
        throw std::runtime_error("cannot make an Ed25519 key");
    }
    key_ = key;
}

SigningKey::~SigningKey() {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
}

std::string SigningKey::publicKeyBase64() const {
    unsigned char raw[32];
    size_t size = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(static_cast<EVP_PKEY*>(key_), raw, &size) != 1) {
        throw std::runtime_error("cannot read the public key");
    }
    return base64(raw, size);
}

std::string SigningKey::sign(const std::string& bytes) const {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    unsigned char signature[64];
    size_t size = sizeof signature;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr,
                           static_cast<EVP_PKEY*>(key_)) != 1 ||
        EVP_DigestSign(context.get(), signature, &size,
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1) {
        throw std::runtime_error("cannot sign");
    }
    return base64(signature, size);
}

}  // namespace zarvo::test
