#pragma once

// An Ed25519 key pair made by a test through OpenSSL: the publisher of the releases it serves.

#include <string>

namespace zarvo::test {

class SigningKey {
  public:
    SigningKey();  // a new key
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

    // Base64 of the 32 raw bytes of the public key, as Info.json carries it.
    std::string publicKeyBase64() const;
    // Base64 of the Ed25519 signature of the bytes.
    std::string sign(const std::string& bytes) const;

  private:
    void* key_ = nullptr;  // EVP_PKEY
};

}  // namespace zarvo::test
