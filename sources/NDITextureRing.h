#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/gpu/Device.h"
#include "platform/gpu/Texture.h"

namespace zarvo {

// The textures one source (NDI, PipeWire) uploads its pictures into: twelve slots used in turn,
// each made anew only when the picture size changes. A texture handed out is left untouched
// until twelve further pictures have been uploaded. Used by one thread at a time.
class NDITextureRing {
  public:
    static constexpr size_t kSlotCount = 12;

    explicit NDITextureRing(gpu::DeviceRef device) : device_(std::move(device)) {}

    // Copies a BGRA picture (rows bytesPerRow apart) into the next slot and answers its texture,
    // or, without alpha, the texture's opaque view, whose alpha reads as fully opaque. Answers
    // nullptr, leaving every slot as it was, for absent bytes, a size outside 1…16384, a row
    // length not a multiple of 4 or shorter than the width, or when no texture can be made.
    gpu::TextureRef textureWithBytes(const uint8_t* bytes, int64_t width, int64_t height,
                                     int64_t bytesPerRow, bool hasAlpha);

    // The next slot's texture at this size, for the caller to fill before handing it on (or,
    // without alpha, its opaque view). Answers nullptr, leaving every slot as it was, for a size
    // outside 1…16384 or when no texture can be made.
    gpu::TextureRef nextTexture(int64_t width, int64_t height, bool hasAlpha);

  private:
    const gpu::DeviceRef device_;
    std::array<gpu::TextureRef, kSlotCount> textures_;
    std::array<gpu::TextureRef, kSlotCount> opaqueViews_;  // one per texture
    size_t next_ = 0;
};

}  // namespace zarvo
