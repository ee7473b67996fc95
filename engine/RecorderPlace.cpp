#include "engine/RecorderPlace.h"

#include "engine/Take.h"
#include "platform/HostClock.h"

namespace zarvo {

RecorderPlace::RecorderPlace(std::string title) : title_(std::move(title)) {}

uint64_t RecorderPlace::receivedFrame(const gpu::TextureRef& texture, bool flipped, double time) {
    // The previous frame is released after the lock, so a source never waits on its freeing.
    gpu::TextureRef previous;
    uint64_t takeIndex = kNotFound;
    {
        std::lock_guard lock(lock_);
        previous = std::move(locked_.latestFrame);
        locked_.latestFrame = texture;
        locked_.flipped = flipped;
        locked_.width = texture ? texture->width() : 0;
        locked_.height = texture ? texture->height() : 0;
        locked_.frameCount += 1;
        locked_.lastFrameTime = time;
        takeIndex = locked_.takeIndex;
    }
    return takeIndex;
}

void RecorderPlace::receivedFrameNotice(int64_t width, int64_t height, double time) {
    gpu::TextureRef previous;  // released after the lock, as in receivedFrame
    std::lock_guard lock(lock_);
    previous = std::move(locked_.latestFrame);
    locked_.width = width;
    locked_.height = height;
    locked_.frameCount += 1;
    locked_.lastFrameTime = time;
}

uint64_t RecorderPlace::receivedSoundAtTime(double time) {
    std::lock_guard lock(lock_);
    locked_.lastSoundTime = time;
    return locked_.soundIndex;
}

void RecorderPlace::setTakeIndex(uint64_t index, bool hasMovie) {
    std::lock_guard lock(lock_);
    locked_.takeIndex = hasMovie ? index : kNotFound;
    locked_.soundIndex = index;
}

void RecorderPlace::measureAtTime(double now) {
    uint64_t frameCount = 0;
    double lastFrame = 0;
    {
        std::lock_guard lock(lock_);
        frameCount = locked_.frameCount;
        lastFrame = locked_.lastFrameTime;
    }
    online_ = source != nullptr && lastFrame > 0 && now - lastFrame < 1.0;
    if (measuredTime_ > 0 && measuredTime_ < now) {
        const double rate =
            static_cast<double>(frameCount - measuredFrameCount_) / (now - measuredTime_);
        fps_ = (rate == 0 || fps_ == 0) ? rate : 0.5 * fps_ + 0.5 * rate;
    }
    measuredFrameCount_ = frameCount;
    measuredTime_ = now;
}

void RecorderPlace::letGoOfSource() {
    if (source) {
        source->stop();
        source.reset();
    }
    gpu::TextureRef previous;
    {
        std::lock_guard lock(lock_);
        previous = std::move(locked_.latestFrame);
        locked_.lastSoundTime = 0;
    }
}

RecorderPlace::FrameState RecorderPlace::frameState() const {
    std::lock_guard lock(lock_);
    return locked_;
}

gpu::TextureRef RecorderPlace::latestFrame() const {
    std::lock_guard lock(lock_);
    return locked_.latestFrame;
}

double RecorderPlace::lastFrameTime() const {
    std::lock_guard lock(lock_);
    return locked_.lastFrameTime;
}

double RecorderPlace::lastSoundTime() const {
    std::lock_guard lock(lock_);
    return locked_.lastSoundTime;
}

int64_t RecorderPlace::width() const {
    std::lock_guard lock(lock_);
    return locked_.width;
}

int64_t RecorderPlace::height() const {
    std::lock_guard lock(lock_);
    return locked_.height;
}

uint64_t RecorderPlace::frameCount() const {
    std::lock_guard lock(lock_);
    return locked_.frameCount;
}

uint64_t RecorderPlace::takeIndex() const {
    std::lock_guard lock(lock_);
    return locked_.takeIndex;
}

uint64_t RecorderPlace::soundIndex() const {
    std::lock_guard lock(lock_);
    return locked_.soundIndex;
}

bool RecorderPlace::hasSound() const {
    const double last = lastSoundTime();
    return source != nullptr && last > 0 && hostTime() < last + 3.0;
}

std::string RecorderPlace::kindName() const {
    if (!kindKnown) {
        return "";
    }
    return kind == FrameSourceKind::NDI ? "ndi" : "syphon";
}

std::string RecorderPlace::file() const {
    if (movie && (inTake || movie->framesWritten() > 0)) {
        return movie->url().string();
    }
    return "";
}

uint64_t RecorderPlace::frames() const {
    return movie ? movie->framesWritten() : 0;
}

uint64_t RecorderPlace::dropped() const {
    return movie ? movie->framesDropped() : 0;
}

double RecorderPlace::soundWritten() const {
    return movie ? movie->soundWritten() : 0;
}

}  // namespace zarvo
