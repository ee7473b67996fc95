#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/gpu/Texture.h"

namespace zarvo::gpu {

struct ColumnTable;  // how the columns of a quad sample its texture (see Draw.cpp)

// A colour the target is cleared to before a pass draws, each component 0…1.
struct ClearColor {
    double r = 0;
    double g = 0;
    double b = 0;
    double a = 0;
};

// One texture drawn into a rectangle of the target.
struct DrawQuad {
    TextureRef texture;  // none draws nothing
    // The rectangle in target pixels, origin at the top left. A pixel is covered when its centre
    // lies inside [x, x + width) × [y, y + height); the rectangle is clipped to the target.
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    // The texture is stored bottom row first; it is drawn upright.
    bool flipped = false;
    // Output alpha = max(source alpha, opaque): 1 makes the result fully opaque, 0 keeps the
    // source's alpha. Colours are never blended with what lies under or with black.
    float opaque = 1;
};

// One pass: the target is cleared, then the quads are drawn in order, each replacing what lies
// under it.
struct RenderPass {
    TextureRef target;
    ClearColor clear;
    std::vector<DrawQuad> draws;
};

// The pixel value (B, G, R, A bytes) a clear colour fills with.
uint32_t ClearPixel(const ClearColor& colour);

// Draws render passes on the CPU with bilinear filtering and clamp-to-edge addressing, in
// fixed point with 8 bits of sub-texel precision: a texture drawn at its own size at an integer
// position is copied bit for bit, and a uniform colour stays exactly that colour at any scale.
//
// Used by one thread at a time (a command queue's worker). Keeps the sampling tables of the
// sizes it has drawn, and for large passes may draw part of the target on a helper thread.
class Renderer {
  public:
    // threads: 1 draws everything on the calling thread; 2 lets a helper thread (named
    // helperName) take a share of large passes.
    explicit Renderer(int threads = 2, std::string helperName = "zarvo.gpu.help");
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    // Draws the pass. Quads are skipped when their texture is missing or shares the target's
    // pixels, or when their rectangle covers no pixel centre.
    void render(const RenderPass& pass);

  private:
    struct Helper;
    using ColumnKey = std::tuple<int64_t, double, double, int64_t>;  // texture width, x, w, W

    const ColumnTable& columnTable(int64_t textureWidth, double x, double width,
                                   int64_t targetWidth);

    const int threads_;
    const std::string helperName_;
    std::map<ColumnKey, std::unique_ptr<ColumnTable>> columns_;
    std::unique_ptr<Helper> helper_;             // started with the first large pass
    std::vector<std::vector<uint8_t>> scratch_;  // one blended row buffer per thread
};

}  // namespace zarvo::gpu
