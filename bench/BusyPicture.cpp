#include "bench/BusyPicture.h"

namespace zarvo::bench {

gpu::TextureRef busyPicture(int width, int height, int seed) {
    auto texture = gpu::Texture::make(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = texture->row(y);
        for (int x = 0; x < width; ++x) {
            const int v = (x * 7 + y * 13 + seed * 5) ^ (x * y);
            row[4 * x] = static_cast<uint8_t>(v);
            row[4 * x + 1] = static_cast<uint8_t>(v >> 3);
            row[4 * x + 2] = static_cast<uint8_t>(x + seed);
            row[4 * x + 3] = 255;
        }
    }
    return texture;
}

}  // namespace zarvo::bench
