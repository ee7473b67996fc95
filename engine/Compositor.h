#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/Layout.h"
#include "platform/gpu/CommandQueue.h"
#include "platform/gpu/Texture.h"

namespace zarvo {

// Draws the latest picture of each source into its frame of a Layout, producing one texture of
// the layout's size: the assembled picture.
//
// Each picture keeps its aspect ratio inside its frame and is centred along the side it does not
// fill; a picture within one pixel of the frame's proportions is stretched to the frame instead.
// Pictures stored bottom row first are turned upright. A source without a picture leaves its
// frame as background. A transparent composition has a transparent black background and keeps
// the sources' alpha; otherwise the background is opaque black and every pixel is made fully
// opaque (colours are never blended with what lies under them).
//
// The drawing runs later on the command queue's thread; compose() only records it. Results go
// to a ring of target textures used in turn (four unless asked otherwise), so a result is left
// untouched by as many further compositions of this compositor as the ring holds, less one:
// whoever keeps a result for longer must copy it.
//
// Safe to use from any thread; one composition at a time per compositor. Compositors sharing a
// queue have their work done in the order it was submitted.
class Compositor {
  public:
    // Called once, on the queue's thread, when the composition's work has run: with the target
    // texture, whose pixels are then ready, or with nullptr in the rare case the drawing failed.
    using Completion = std::function<void(const gpu::TextureRef& target)>;

    static constexpr int64_t kMaxDimension = gpu::Texture::kMaxDimension;
    static constexpr size_t kRingSize = 4;

    // A compositor drawing on the queue into a ring of ringSize targets (at least one), or
    // nullptr (logged) when it cannot be made.
    static std::unique_ptr<Compositor> make(gpu::CommandQueueRef queue,
                                            size_t ringSize = kRingSize);

    Compositor(const Compositor&) = delete;
    Compositor& operator=(const Compositor&) = delete;

    // The ring's next target: the texture in the next slot when it is exactly width × height,
    // else a new texture put in that slot. Moves on to the following slot. nullptr (and the ring
    // unchanged) when no texture of that size can be made.
    gpu::TextureRef targetOfWidth(uint64_t width, uint64_t height);

    // Records the drawing of the layout, textures[i] in frames()[i]: nullptr means no picture,
    // flipped[i] that the texture is stored bottom row first. Returns the target at once, without
    // waiting for the drawing; its pixels are ready when the completion runs.
    //
    // The target is as large as the layout's size cut to whole pixels. Returns nullptr, and never
    // calls the completion, when the lists do not have one entry per frame, when the layout's
    // width or height is below 1 or above kMaxDimension, or when the work cannot be submitted.
    gpu::TextureRef compose(const Layout& layout, const std::vector<gpu::TextureRef>& textures,
                            const std::vector<bool>& flipped, bool transparent,
                            Completion completion = nullptr);

  private:
    Compositor(gpu::CommandQueueRef queue, size_t ringSize);

    // targetOfWidth() with lock_ held. A slot holding a texture whose pixels one of `sources`
    // shares is replaced, so that no picture is drawn into itself.
    gpu::TextureRef nextTarget(int64_t width, int64_t height,
                               const std::vector<gpu::TextureRef>& sources);

    const gpu::CommandQueueRef queue_;
    std::mutex lock_;                       // held for one composition
    std::vector<gpu::TextureRef> targets_;  // guarded by lock_
    uint64_t next_ = 0;                     // guarded by lock_
};

}  // namespace zarvo
