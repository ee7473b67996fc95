#include "sources/SourceSound.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace zarvo {

namespace {

constexpr uint64_t kChannels = 2;
constexpr uint64_t kBytesPerFrame = kChannels * sizeof(float);

static_assert(SourceSound::kMaxFrameCount == UINT64_MAX / kBytesPerFrame);
// Byte sizes are computed in 64 bits and handed to the allocator unchanged.
static_assert(sizeof(std::size_t) >= sizeof(uint64_t));

// Uninitialised room for frameCount frames, or null when the count is too large to
// express in bytes or the allocator refuses. Never throws and never aborts.
SampleBuffer allocateFrames(uint64_t frameCount) {
    if (frameCount > SourceSound::kMaxFrameCount) {
        return nullptr;
    }
    return SampleBuffer(static_cast<float*>(std::malloc(frameCount * kBytesPerFrame)));
}

std::shared_ptr<const SourceSound> makeSound(SampleBuffer buffer, uint64_t frameCount,
                                             double sampleRate) {
    return std::make_shared<SourceSound>(std::move(buffer), frameCount, sampleRate);
}

}  // namespace

void FreeDeleter::operator()(float* p) const noexcept {
    std::free(p);
}

bool IsUsableRate(double rate) {
    return std::isfinite(rate) && rate > 0.0;
}

SoundAllocationError::SoundAllocationError(uint64_t frameCount) noexcept {
    std::snprintf(message_, sizeof message_, "No memory for %" PRIu64 " frames of silence",
                  frameCount);
}

const char* SoundAllocationError::what() const noexcept {
    return message_;
}

SourceSound::SourceSound(SampleBuffer buffer, uint64_t frameCount, double sampleRate)
    : buffer_(std::move(buffer)), sampleRate_(sampleRate), frameCount_(frameCount) {}

std::shared_ptr<const SourceSound> SourceSound::soundWithPlanarSamples(
    const float* samples, uint64_t channelCount, uint64_t frameCount, uint64_t channelStrideInBytes,
    double sampleRate) {
    if (samples == nullptr || channelCount == 0 || frameCount == 0 || frameCount > kMaxFrameCount ||
        !IsUsableRate(sampleRate)) {
        return nullptr;
    }
    const float* left = samples;
    const float* right = samples;
    if (channelCount >= 2) {
        // frameCount <= kMaxFrameCount, so the channel length in bytes cannot overflow.
        if (channelStrideInBytes < frameCount * sizeof(float) ||
            channelStrideInBytes % sizeof(float) != 0) {
            return nullptr;
        }
        // The stride is a whole number of floats, so channel 1 stays float-aligned.
        right = reinterpret_cast<const float*>(reinterpret_cast<const char*>(samples) +
                                               channelStrideInBytes);
    }
    SampleBuffer buffer = allocateFrames(frameCount);
    if (!buffer) {
        return nullptr;
    }
    float* out = buffer.get();
    for (uint64_t i = 0; i < frameCount; ++i) {
        out[kChannels * i] = left[i];
        out[kChannels * i + 1] = right[i];
    }
    return makeSound(std::move(buffer), frameCount, sampleRate);
}

std::shared_ptr<const SourceSound> SourceSound::soundWithInterleavedStereoSamples(
    const float* samples, uint64_t frameCount, double sampleRate) {
    if (samples == nullptr || frameCount == 0 || frameCount > kMaxFrameCount ||
        !IsUsableRate(sampleRate)) {
        return nullptr;
    }
    SampleBuffer buffer = allocateFrames(frameCount);
    if (!buffer) {
        return nullptr;
    }
    std::memcpy(buffer.get(), samples, frameCount * kBytesPerFrame);
    return makeSound(std::move(buffer), frameCount, sampleRate);
}

std::shared_ptr<const SourceSound> SourceSound::silenceOfFrameCount(uint64_t frameCount,
                                                                    double sampleRate) {
    if (!IsUsableRate(sampleRate)) {
        throw std::invalid_argument("Invalid parameter not satisfying: IsUsableRate(sampleRate)");
    }
    if (frameCount > kMaxFrameCount) {
        throw std::invalid_argument(
            "Invalid parameter not satisfying: frameCount <= NSUIntegerMax / (2 * sizeof(float))");
    }
    // Even an empty sound gets one real frame so that samples() is never null.
    const uint64_t allocated = frameCount == 0 ? 1 : frameCount;
    SampleBuffer buffer(static_cast<float*>(std::calloc(allocated, kBytesPerFrame)));
    if (!buffer) {
        throw SoundAllocationError(frameCount);
    }
    return makeSound(std::move(buffer), frameCount, sampleRate);
}

std::shared_ptr<const SourceSound> SourceSound::soundFromFrame(uint64_t index) const {
    if (index >= frameCount_) {
        return nullptr;
    }
    if (index == 0) {
        return shared_from_this();
    }
    const uint64_t remaining = frameCount_ - index;
    SampleBuffer buffer = allocateFrames(remaining);
    if (!buffer) {
        return nullptr;
    }
    std::memcpy(buffer.get(), buffer_.get() + kChannels * index, remaining * kBytesPerFrame);
    return makeSound(std::move(buffer), remaining, sampleRate_);
}

}  // namespace zarvo
