#include "sources/NDITextureRing.h"

#include <cstring>

namespace zarvo {

gpu::TextureRef NDITextureRing::textureWithBytes(const uint8_t* bytes, int64_t width,
                                                 int64_t height, int64_t bytesPerRow,
                                                 bool hasAlpha) {
    if (bytes == nullptr || bytesPerRow % 4 != 0 || width * 4 > bytesPerRow) {
        return nullptr;
    }
    auto texture = nextTexture(width, height, hasAlpha);
    if (!texture) {
        return nullptr;
    }
    const auto rowLength = static_cast<size_t>(width * 4);
    for (int64_t y = 0; y < height; ++y) {
        std::memcpy(texture->row(y), bytes + y * bytesPerRow, rowLength);
    }
    return texture;
}

gpu::TextureRef NDITextureRing::nextTexture(int64_t width, int64_t height, bool hasAlpha) {
    if (width < 1 || height < 1 || width > gpu::Texture::kMaxDimension ||
        height > gpu::Texture::kMaxDimension) {
        return nullptr;
    }
    const size_t slot = next_;
    gpu::TextureRef& texture = textures_[slot];
    gpu::TextureRef& opaqueView = opaqueViews_[slot];
    if (!texture || texture->width() != width || texture->height() != height) {
        texture = device_ ? device_->makeTexture(width, height) : nullptr;
        opaqueView = texture ? texture->opaqueView() : nullptr;
        if (!texture || !opaqueView) {
            texture = nullptr;
            opaqueView = nullptr;
            return nullptr;
        }
    }
    next_ = (slot + 1) % kSlotCount;
    return hasAlpha ? texture : opaqueView;
}

}  // namespace zarvo
