#pragma once

// Pictures for the benchmarks that encode: detail everywhere, so that encoders do real work.

#include "platform/gpu/Texture.h"

namespace zarvo::bench {

// An opaque picture of the size whose every pixel differs from its neighbours; each seed gives
// another picture.
gpu::TextureRef busyPicture(int width, int height, int seed);

}  // namespace zarvo::bench
