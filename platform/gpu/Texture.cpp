#include "platform/gpu/Texture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zarvo::gpu {

namespace {
// Rows start on 64-byte boundaries so that vector loops and the scaler read aligned memory.
constexpr int64_t kRowAlignment = 64;
}  // namespace

Texture::Storage::~Storage() {
    std::free(bytes);
}

TextureRef Texture::make(int64_t width, int64_t height) {
    if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension) {
        return nullptr;
    }
    const int64_t bytesPerRow = (width * 4 + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
    const auto size = static_cast<size_t>(bytesPerRow * height);
    auto storage = std::make_shared<Storage>();
    storage->bytes = static_cast<uint8_t*>(std::aligned_alloc(kRowAlignment, size));
    if (storage->bytes == nullptr) {
        return nullptr;
    }
    std::fill_n(storage->bytes, size, uint8_t{0});
    return TextureRef(new Texture(std::move(storage), width, height, bytesPerRow, false));
}

TextureRef Texture::opaqueView() const {
    return TextureRef(new Texture(storage_, width_, height_, bytesPerRow_, true));
}

TextureRef Texture::copy() const {
    TextureRef made = make(width_, height_);
    if (!made) {
        return nullptr;
    }
    // Both are made with the same row alignment, so the rows lie alike and copy as one block.
    std::memcpy(made->bytes(), bytes(), static_cast<size_t>(bytesPerRow_ * height_));
    return opaque_ ? made->opaqueView() : made;
}

}  // namespace zarvo::gpu
