#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace zarvo::gpu {

class Texture;
using TextureRef = std::shared_ptr<Texture>;

// An 8-bit BGRA image in memory: width × height pixels, rows bytesPerRow apart, the first row at
// the top. Shared by reference between the threads that produce and consume frames; whoever
// writes the pixels owns that moment (a source fills a texture before handing it on).
//
// An opaque view shares the pixels of another texture but reads every alpha value as fully
// opaque, for sources whose fourth byte carries no transparency.
class Texture {
  public:
    static constexpr int64_t kMaxDimension = 16384;

    // A new texture of transparent black pixels, or nullptr when a dimension is outside
    // 1…kMaxDimension or memory cannot be had.
    static TextureRef make(int64_t width, int64_t height);

    int64_t width() const { return width_; }
    int64_t height() const { return height_; }
    int64_t bytesPerRow() const { return bytesPerRow_; }
    uint8_t* bytes() { return storage_->bytes; }
    const uint8_t* bytes() const { return storage_->bytes; }
    uint8_t* row(int64_t y) { return bytes() + y * bytesPerRow_; }
    const uint8_t* row(int64_t y) const { return bytes() + y * bytesPerRow_; }

    // Whether alpha reads as 1 (255) whatever the stored fourth byte.
    bool isOpaque() const { return opaque_; }

    // A view of the same pixels whose alpha reads as 1.
    TextureRef opaqueView() const;
    // A texture of its own with the same pixels, read the same way (opaque or not), for a
    // consumer that keeps a picture longer than its producer leaves it untouched. nullptr when
    // memory cannot be had.
    TextureRef copy() const;

    // The alpha value as read through this texture.
    uint8_t alphaAt(int64_t x, int64_t y) const {
        return opaque_ ? uint8_t{255} : row(y)[x * 4 + 3];
    }

    // Whether both textures read the same pixel memory.
    bool sharesPixelsWith(const Texture& other) const { return storage_ == other.storage_; }

  private:
    struct Storage {
        uint8_t* bytes = nullptr;
        ~Storage();
    };
    Texture(std::shared_ptr<Storage> storage, int64_t width, int64_t height, int64_t bytesPerRow,
            bool opaque)
        : storage_(std::move(storage)),
          width_(width),
          height_(height),
          bytesPerRow_(bytesPerRow),
          opaque_(opaque) {}

    std::shared_ptr<Storage> storage_;
    int64_t width_;
    int64_t height_;
    int64_t bytesPerRow_;
    bool opaque_;
};

}  // namespace zarvo::gpu
