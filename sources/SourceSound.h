#pragma once

#include <cstdint>
#include <memory>
#include <new>

namespace zarvo {

// Releases sample memory obtained from std::malloc / std::calloc.
struct FreeDeleter {
    void operator()(float* p) const noexcept;
};

// Interleaved stereo samples: frame i is left = [2i], right = [2i + 1].
using SampleBuffer = std::unique_ptr<float[], FreeDeleter>;

// A sample rate is usable when it is finite and greater than zero (subnormals included).
bool IsUsableRate(double rate);

// Raised when a buffer of silence cannot be allocated.
class SoundAllocationError : public std::bad_alloc {
  public:
    explicit SoundAllocationError(uint64_t frameCount) noexcept;
    const char* what() const noexcept override;

  private:
    // Fixed storage so that copying the error never allocates.
    char message_[64];
};

// A block of stereo float sound from one source, with its sample rate. Made once by the
// source and never changed afterwards, so it may be read from any thread. Sounds are meant
// to be held by std::shared_ptr<const SourceSound>; the factories below produce them that way.
class SourceSound : public std::enable_shared_from_this<SourceSound> {
  public:
    // The largest frame count whose size in bytes (8 per frame) fits in 64 bits.
    static constexpr uint64_t kMaxFrameCount = (uint64_t(1) << 61) - 1;

    // Takes ownership of the buffer as it is; the caller guarantees that it holds
    // frameCount interleaved stereo frames.
    SourceSound(SampleBuffer buffer, uint64_t frameCount, double sampleRate);

    SourceSound(const SourceSound&) = delete;
    SourceSound& operator=(const SourceSound&) = delete;

    // Copies channel 0 to the left side and channel 1 (channelStrideInBytes bytes after
    // channel 0) to the right; further channels are ignored. A single channel is copied to
    // both sides and its stride is not used. Returns nullptr on absent samples, zero or
    // oversized counts, an unusable rate, a stride (2+ channels) shorter than a channel or
    // not a multiple of 4, or when memory runs out.
    static std::shared_ptr<const SourceSound> soundWithPlanarSamples(const float* samples,
                                                                     uint64_t channelCount,
                                                                     uint64_t frameCount,
                                                                     uint64_t channelStrideInBytes,
                                                                     double sampleRate);

    // Copies frameCount interleaved left/right frames. Returns nullptr on absent samples,
    // a zero or oversized count, an unusable rate, or when memory runs out.
    static std::shared_ptr<const SourceSound> soundWithInterleavedStereoSamples(
        const float* samples, uint64_t frameCount, double sampleRate);

    // A sound of zeros; a count of 0 is allowed. Throws std::invalid_argument when the rate
    // is unusable or the count exceeds kMaxFrameCount, and SoundAllocationError when the
    // memory cannot be had.
    static std::shared_ptr<const SourceSound> silenceOfFrameCount(uint64_t frameCount,
                                                                  double sampleRate);

    // The frames from index to the end: nullptr when index >= frameCount (or memory runs
    // out), this very sound when index is 0, otherwise a copy of the tail at the same rate.
    // Requires this sound to be owned by a std::shared_ptr.
    std::shared_ptr<const SourceSound> soundFromFrame(uint64_t index) const;

    const float* samples() const { return buffer_.get(); }
    double sampleRate() const { return sampleRate_; }
    uint64_t frameCount() const { return frameCount_; }
    // Length in seconds.
    double duration() const { return static_cast<double>(frameCount_) / sampleRate_; }

  private:
    const SampleBuffer buffer_;
    const double sampleRate_;
    const uint64_t frameCount_;
};

}  // namespace zarvo
