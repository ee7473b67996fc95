#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/gpu/Texture.h"

struct AVFrame;
struct SwsContext;

namespace zarvo {

// Where a picture of one size lands when fitted, keeping its aspect ratio and centred, into a
// picture of another size: whole pixels, aligned to the encoder's chroma grid.
struct FitRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    friend bool operator==(const FitRect&, const FitRect&) = default;
};

// Fits, centres, turns upright and converts textures into an encoder's frames in one pass per
// frame; the bars around the picture are black, or transparent when the movie keeps
// transparency. A texture that fills the picture at its own size is converted directly
// (PictureConverter); one that must be scaled goes through the scaler. Used from one thread
// (the recorder's queue).
class FrameFitter {
  public:
    enum class Path {
        Best,    // direct conversion where no scaling is needed, else the scaler
        Scaler,  // always the scaler: the reference the direct conversion is measured against
    };
    explicit FrameFitter(Path path = Path::Best) : path_(path) {}
    ~FrameFitter();
    FrameFitter(const FrameFitter&) = delete;
    FrameFitter& operator=(const FrameFitter&) = delete;

    // The covered rectangle for a source of sw × sh in a frame of dw × dh; chroma subsampling
    // (log2 of the horizontal and vertical factors) keeps the edges on whole chroma samples.
    static FitRect fit(int64_t sw, int64_t sh, int dw, int dh, int chromaShiftX, int chromaShiftY);

    // Draws the texture into the frame (any planar YUV format the movie writer uses). A flipped
    // texture is stored bottom row first. false when the scaler cannot be set up.
    bool draw(const gpu::Texture& texture, bool flipped, AVFrame* frame, bool transparentBars);

  private:
    // Scales and converts through the scaler into the planes at `targets`.
    bool scale(const gpu::Texture& texture, const uint8_t* sourceRow, ptrdiff_t sourceStride,
               const FitRect& rect, int format, uint8_t* const targets[4],
               const int targetStrides[4]);
    // Black (or transparent) around the picture.
    static void drawBars(AVFrame* frame, const FitRect& rect, bool transparentBars);

    Path path_;
    SwsContext* scaler_ = nullptr;
    int64_t scalerKey_[6] = {};  // the sizes and formats scaler_ was made for
};

}  // namespace zarvo
