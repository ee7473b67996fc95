#include "engine/Compositor.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/Log.h"

namespace zarvo {
namespace {

// Where a texture of textureWidth × textureHeight is drawn in `frame`: the frame itself when the
// texture's proportions are within one pixel of it, else the largest rectangle of the texture's
// proportions that fits, centred (the offset floored, the size rounded half away from zero).
Rect fittedFrame(Rect frame, double textureWidth, double textureHeight) {
    const double fittedWidth = frame.height * textureWidth / textureHeight;
    if (fittedWidth < frame.width - 1) {  // narrower: bars left and right
        frame.x += std::floor((frame.width - fittedWidth) / 2);
        frame.width = std::round(fittedWidth);
    } else if (fittedWidth > frame.width + 1) {  // wider: bars above and below
        const double fittedHeight = frame.width * textureHeight / textureWidth;
        frame.y += std::floor((frame.height - fittedHeight) / 2);
        frame.height = std::round(fittedHeight);
    }
    return frame;
}

bool usableDimension(double v) {
    return v >= 1 && v <= static_cast<double>(Compositor::kMaxDimension);  // false for NaN too
}

}  // namespace

std::unique_ptr<Compositor> Compositor::make(gpu::CommandQueueRef queue, size_t ringSize) {
    if (!queue) {
        logLine("Compositor could not be created: there is no command queue.");
        return nullptr;
    }
    return std::unique_ptr<Compositor>(
        new Compositor(std::move(queue), std::max<size_t>(1, ringSize)));
}

Compositor::Compositor(gpu::CommandQueueRef queue, size_t ringSize)
    : queue_(std::move(queue)), targets_(ringSize) {}

gpu::TextureRef Compositor::targetOfWidth(uint64_t width, uint64_t height) {
    if (width < 1 || width > kMaxDimension || height < 1 || height > kMaxDimension) {
        return nullptr;
    }
    std::lock_guard guard(lock_);
    return nextTarget(static_cast<int64_t>(width), static_cast<int64_t>(height), {});
}

gpu::TextureRef Compositor::nextTarget(int64_t width, int64_t height,
                                       const std::vector<gpu::TextureRef>& sources) {
    gpu::TextureRef& slot = targets_[next_];
    const bool reusable =
        slot && slot->width() == width && slot->height() == height &&
        std::none_of(sources.begin(), sources.end(), [&](const gpu::TextureRef& source) {
            return source && source->sharesPixelsWith(*slot);
        });
    if (!reusable) {
        gpu::TextureRef made = queue_->device()->makeTexture(width, height);
        if (!made) {
            return nullptr;
        }
        slot = std::move(made);
    }
    next_ = (next_ + 1) % targets_.size();
    return slot;
}

gpu::TextureRef Compositor::compose(const Layout& layout,
                                    const std::vector<gpu::TextureRef>& textures,
                                    const std::vector<bool>& flipped, bool transparent,
                                    Completion completion) {
    const std::vector<Rect>& frames = layout.frames();
    if (textures.size() != frames.size() || flipped.size() != frames.size()) {
        return nullptr;
    }
    const Size size = layout.size();
    if (!usableDimension(size.width) || !usableDimension(size.height)) {
        return nullptr;
    }
    const auto width = static_cast<int64_t>(size.width);
    const auto height = static_cast<int64_t>(size.height);

    // With a transparent result the sources' alpha is kept; otherwise every pixel is opaque.
    const gpu::ClearColor clear{0, 0, 0, transparent ? 0.0 : 1.0};
    const float opaque = transparent ? 0.0f : 1.0f;
    std::vector<gpu::DrawQuad> draws;
    draws.reserve(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const gpu::TextureRef& texture = textures[i];
        if (!texture) {
            continue;  // no picture yet: the frame stays background
        }
        const Rect r = fittedFrame(frames[i], static_cast<double>(texture->width()),
                                   static_cast<double>(texture->height()));
        draws.push_back({texture, r.x, r.y, r.width, r.height, flipped[i], opaque});
    }

    std::lock_guard guard(lock_);
    gpu::TextureRef target = nextTarget(width, height, textures);
    const gpu::CommandBufferRef buffer = target ? queue_->commandBuffer() : nullptr;
    if (!buffer || !buffer->renderPass(target, clear, std::move(draws))) {
        return nullptr;
    }
    if (completion) {
        buffer->addCompletedHandler(
            [completion = std::move(completion), target](gpu::CommandBuffer& done) {
                const bool drawn = done.status() == gpu::CommandBuffer::Status::Completed;
                completion(drawn ? target : nullptr);
            });
    }
    // A buffer that cannot be committed drops its handlers unrun: report it as refused.
    if (!buffer->commit()) {
        return nullptr;
    }
    return target;
}

}  // namespace zarvo
