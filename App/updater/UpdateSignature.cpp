#include "App/updater/UpdateSignature.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

namespace zarvo {
namespace fs = std::filesystem;

namespace {

std::string hexOf(const unsigned char* digest, unsigned int length) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0x0F];
    }
    return text;
}

struct DigestContext {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    DigestContext() { EVP_DigestInit_ex(context, EVP_sha256(), nullptr); }
    ~DigestContext() { EVP_MD_CTX_free(context); }
    DigestContext(const DigestContext&) = delete;
    DigestContext& operator=(const DigestContext&) = delete;
    void update(const void* data, size_t size) { EVP_DigestUpdate(context, data, size); }
    std::string finish() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context, digest, &length);
        return hexOf(digest, length);
    }
};

}  // namespace

std::string sha256Hex(const std::string& data) {
    DigestContext digest;
    digest.update(data.data(), data.size());
    return digest.finish();
}

std::optional<std::string> sha256HexOfFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    DigestContext digest;
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        digest.update(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return digest.finish();
}

std::optional<std::string> decodeBase64(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return std::string();
    }
    const std::string body = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    if (body.size() % 4 != 0) {
        return std::nullopt;
    }
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        const bool padding =
            c == '=' && i >= body.size() - 2 && body.find_first_not_of('=', i) == std::string::npos;
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || padding)) {
            return std::nullopt;
        }
    }
    std::string bytes(body.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                       reinterpret_cast<const unsigned char*>(body.data()),
                                       static_cast<int>(body.size()));
    if (length < 0) {
        return std::nullopt;
    }
    // The block decoder counts the padding as bytes.
    size_t padding = 0;
    while (padding < 2 && body.size() > padding && body[body.size() - 1 - padding] == '=') {
        ++padding;
    }
    bytes.resize(static_cast<size_t>(length) - padding);
    return bytes;
}

std::string encodeBase64(const std::string& bytes) {
    std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(std::max(length, 0)));
    return text;
}

bool isEd25519PublicKey(const std::string& publicKeyBase64) {
    const auto key = decodeBase64(publicKeyBase64);
    return key && key->size() == 32;
}

SignatureCheck verifyFileSignature(const fs::path& file, const std::string& signatureBase64,
                                   const std::string& publicKeyBase64) {
    const auto key = decodeBase64(publicKeyBase64);
    if (!key || key->size() != 32) {
        return SignatureCheck::badKey;
    }
    const auto signature = decodeBase64(signatureBase64);
    if (!signature || signature->size() != 64) {
        return SignatureCheck::malformed;
    }
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return SignatureCheck::unreadable;
    }
    struct stat facts {};
    if (::fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode)) {
        ::close(fd);
        return SignatureCheck::unreadable;
    }
    const size_t size = static_cast<size_t>(facts.st_size);
    void* bytes = size > 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
    ::close(fd);
    if (bytes == MAP_FAILED) {
        return SignatureCheck::unreadable;
    }
    const std::unique_ptr<void, std::function<void(void*)>> mapping(
        bytes, [size](void* at) { ::munmap(at, size); });

    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char*>(key->data()),
                                    key->size()),
        &EVP_PKEY_free);
    if (!publicKey) {
        return SignatureCheck::badKey;
    }
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    // Ed25519 signs the message itself, in one pass: no digest is named.
    if (!context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1) {
        return SignatureCheck::badKey;
    }
    static const unsigned char empty = 0;
    const int verified = EVP_DigestVerify(
        context.get(), reinterpret_cast<const unsigned char*>(signature->data()), signature->size(),
        bytes ? static_cast<const unsigned char*>(bytes) : &empty, size);
    return verified == 1 ? SignatureCheck::valid : SignatureCheck::mismatch;
}

}  // namespace zarvo
