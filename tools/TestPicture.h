#pragma once

#include <cstdint>

#include "platform/gpu/Texture.h"

namespace zarvo::tools {

// The moving test picture: colour bars over the upper two thirds; below them a band with the
// frame number and a marker that crosses the picture and comes back every two seconds. With
// alpha, the band's background is half transparent.
class TestPicture {
  public:
    TestPicture(int64_t width, int64_t height, double fps, bool alpha);

    // Draws frame number `frame` into the texture, which has the picture's size.
    void draw(uint64_t frame, gpu::Texture& texture) const;

  private:
    void drawDigit(gpu::Texture& texture, int digit, int64_t left, int64_t top,
                   int64_t digitHeight) const;

    int64_t width_;
    int64_t height_;
    double fps_;
    bool alpha_;
    gpu::TextureRef background_;  // bars and band, drawn once
};

}  // namespace zarvo::tools
